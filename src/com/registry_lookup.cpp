// Key lookups that create nothing.
#include "com/registry_lookup.h"

#include <cctype>

namespace zq::com {

std::optional<std::string> findSubKey(const JSystemRegistryKey& key, std::string_view name) {
  for (const std::string& sub : key.enumSubKeys()) {
    if (sub.size() == name.size() &&
        std::equal(sub.begin(), sub.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return sub;
    }
  }
  return std::nullopt;
}

std::optional<JSystemRegistryKey> openExistingKey(uint32_t root, std::string_view path,
                                                  uint32_t access) {
  JSystemRegistryKey key(root, "", access);
  while (!path.empty()) {
    const size_t slash = path.find('\\');
    const std::string_view component = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (component.empty()) {
      continue;
    }
    const std::optional<std::string> sub = findSubKey(key, component);
    if (!sub) {
      return std::nullopt;
    }
    JSystemRegistryKey child;
    child.openSubKey(key, *sub, access);
    key = child;
  }
  return key;
}

}  // namespace zq::com

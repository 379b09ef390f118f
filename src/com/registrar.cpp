// Writing and removing a server's registration keys.
#include "com/registrar.h"

#include "base/error.h"
#include "com/registry_lookup.h"

namespace zq::com {
namespace {

void writeKey(const JSystemRegistryKey& parent, const JRegistryKeySpec& spec,
              const JReplacements& replacements) {
  const std::string name = replaceTokens(spec.name, replacements);
  if ((spec.flags & JRegistryKeySpec::kForceRemove) != 0) {
    if (std::optional<std::string> existing = findSubKey(parent, name)) {
      JSystemRegistryKey(parent).deleteKey(*existing);
    }
  }
  JSystemRegistryKey key;
  key.openSubKey(parent, findSubKey(parent, name).value_or(name));
  if (spec.defaultValue) {
    key.setString("", replaceTokens(*spec.defaultValue, replacements));
  }
  for (const auto& [valueName, text] : spec.values) {
    key.setString(replaceTokens(valueName, replacements), replaceTokens(text, replacements));
  }
  for (const JRegistryKeySpec& sub : spec.subkeys) {
    writeKey(key, sub, replacements);
  }
}

void removeKey(const JSystemRegistryKey& parent, const JRegistryKeySpec& spec,
               const JReplacements& replacements) {
  const std::optional<std::string> name =
      findSubKey(parent, replaceTokens(spec.name, replacements));
  if (!name) {
    return;
  }
  const int keeps = JRegistryKeySpec::kNoRemove | JRegistryKeySpec::kRemoveWhenEmpty;
  if ((spec.flags & keeps) == 0) {
    JSystemRegistryKey(parent).deleteKey(*name);
    return;
  }
  JSystemRegistryKey key;
  key.openSubKey(parent, *name);
  for (const JRegistryKeySpec& sub : spec.subkeys) {
    removeKey(key, sub, replacements);
  }
  if ((spec.flags & JRegistryKeySpec::kRemoveWhenEmpty) != 0 && key.enumSubKeys().empty()) {
    JSystemRegistryKey(parent).deleteKey(*name);
  }
}

}  // namespace

std::string replaceTokens(const std::string& text, const JReplacements& replacements) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const size_t open = text.find('%', i);
    if (open == std::string::npos) {
      break;
    }
    const size_t close = text.find('%', open + 1);
    if (close == std::string::npos) {
      break;
    }
    out.append(text, i, open - i);
    const std::string token = text.substr(open + 1, close - open - 1);
    if (token.empty()) {
      out += '%';
    } else if (auto it = replacements.find(token); it != replacements.end()) {
      out += it->second;
    } else {
      // Not ours: left as written.
      out.append(text, open, close - open + 1);
    }
    i = close + 1;
  }
  out.append(text, i);
  return out;
}

HRESULT registerKeys(std::span<const JRegistryKeySpec> keys, const JReplacements& replacements,
                     uint32_t root) {
  try {
    JSystemRegistryKey top(root, "");
    for (const JRegistryKeySpec& spec : keys) {
      writeKey(top, spec, replacements);
    }
  } catch (const JError& e) {
    logCaught(e);
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

HRESULT unregisterKeys(std::span<const JRegistryKeySpec> keys, const JReplacements& replacements,
                       uint32_t root) {
  try {
    JSystemRegistryKey top(root, "");
    for (const JRegistryKeySpec& spec : keys) {
      removeKey(top, spec, replacements);
    }
  } catch (const JError& e) {
    logCaught(e);
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

}  // namespace zq::com

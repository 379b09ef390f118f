// What registration left in the registry store, as the tests of the COM
// runtime and of the control's server read it.
#pragma once

#include <optional>
#include <string>

#include "com/registry_lookup.h"

namespace zq::test {

/// The default value of the key at `path` under HKEY_CLASSES_ROOT, or its
/// value `name`: "(absent)" without the key, "(no value)" when the key lacks
/// the value.
inline std::string valueAt(const std::string& path, const std::string& name = "") {
  std::optional<JSystemRegistryKey> key = com::openExistingKey(HKEY_CLASSES_ROOT, path, KEY_READ);
  if (!key) {
    return "(absent)";
  }
  std::string v;
  return key->getString(name, v) ? v : "(no value)";
}

}  // namespace zq::test

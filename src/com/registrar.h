// Self-registration: the keys a server writes under HKEY_CLASSES_ROOT when it
// registers (DllRegisterServer) and removes when it unregisters
// (DllUnregisterServer), declared as a tree of data. Texts may name
// replacements such as %MODULE% (the module's path), substituted on writing.
//
// Registering creates each key, removing it first when it is marked
// kForceRemove, and sets its default and named values. Unregistering removes
// each key with everything below it, except a key marked kNoRemove, which
// stays and has only its listed subkeys handled, and one marked
// kRemoveWhenEmpty, which has its listed subkeys handled and goes only when
// no subkey is left (a library's other versions keep its key); keys that
// are absent are passed over. Nothing else in the store is touched.
// Public: the control's module declares its keys with it.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/registry_key.h"
#include "com/hresult.h"

namespace zq::com {

struct JRegistryKeySpec {
  enum Flags { kNone = 0, kForceRemove = 1, kNoRemove = 2, kRemoveWhenEmpty = 4 };

  std::string name;
  std::optional<std::string> defaultValue;
  std::vector<std::pair<std::string, std::string>> values;  // named REG_SZ values
  int flags = kNone;
  std::vector<JRegistryKeySpec> subkeys;
};

using JReplacements = std::map<std::string, std::string>;

/// Writes `keys` under `root`. SELFREG_E_CLASS (the failure logged) when the
/// store refuses; what was written before the failure stays.
HRESULT registerKeys(std::span<const JRegistryKeySpec> keys, const JReplacements& replacements,
                     uint32_t root = HKEY_CLASSES_ROOT);
/// Removes `keys` from under `root`. SELFREG_E_CLASS (logged) when the store
/// refuses.
HRESULT unregisterKeys(std::span<const JRegistryKeySpec> keys, const JReplacements& replacements,
                       uint32_t root = HKEY_CLASSES_ROOT);

/// `text` with every %NAME% of `replacements` replaced; "%%" gives "%".
std::string replaceTokens(const std::string& text, const JReplacements& replacements);

}  // namespace zq::com

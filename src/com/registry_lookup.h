// Looking keys up in the registry store without creating them: opening a
// JSystemRegistryKey creates what is missing, which neither a class lookup
// nor unregistration may do. Internal to the runtime.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/registry_key.h"

namespace zq::com {

/// The key at `path` ('\'-separated) under `root` when every component of it
/// exists (names compared without regard to case), else nothing. Throws the
/// store's errors.
std::optional<JSystemRegistryKey> openExistingKey(uint32_t root, std::string_view path,
                                                  uint32_t access = KEY_ALL_ACCESS);

/// The name of the subkey of `key` called `name` as the store spells it, or
/// nothing.
std::optional<std::string> findSubKey(const JSystemRegistryKey& key, std::string_view name);

}  // namespace zq::com

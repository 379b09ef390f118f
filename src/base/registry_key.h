// JSystemRegistryKey, the one wrapper through which configuration is read and
// written, with the registry roots and access rights it is opened with.
//
// The keys live in the registry store (registry_store.h): one REGEDIT4 file
// per root in $ZQ_REGISTRY_DIR (default /var/lib/zq/registry), read afresh
// at every operation so that another process's write is seen.
//
// A reader that wants a default keeps it in its output variable: a missing
// value returns false and leaves the variable untouched. Every other failure
// throws a JSysError whose function name reads
// "Function=RegQueryValueEx, key=HKEY_LOCAL_MACHINE\SOFTWARE\Quorvanta" and
// whose code is the errno of the failure (EINVAL for a value of another kind
// than the one asked for, ENOENT for a key deleted under an open handle,
// EACCES for a write through a handle opened without write rights). A failure
// on a file of the store (one that cannot be parsed, read or written) is a
// JRegistryFileError, whose message also names the file and what is wrong.
#pragma once

#include <cstdint>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace zq {

class RegistryImage;
struct RegistryValue;
class RegistryRootFile;
struct RegistryStoreError;

/// A registry function that failed on a file of the store: a JSysError with
/// the code and function name a plain one would have, whose message gives
/// the file and the problem in place of the code's system text:
///   system call error at function 'Function=RegQueryValueEx,
///   key=HKEY_LOCAL_MACHINE\SOFTWARE\Quorvanta' :
///   /var/lib/zq/registry/HKEY_LOCAL_MACHINE.reg: line 12: unterminated string
class JRegistryFileError : public JSysError {
 public:
  JRegistryFileError(uint32_t code, std::string_view function, std::string registryFile,
                     std::string problem,
                     const std::source_location& where = std::source_location::current());

  void getMessage(char* buffer, size_t size) const override;
  std::unique_ptr<JError> clone() const override;

  /// The file or directory of the store concerned.
  const std::string& registryFile() const { return registryFile_; }
  /// What is wrong with it: "line 12: unterminated string", "not a REGEDIT4
  /// file", or the system text of the code.
  const std::string& problem() const { return problem_; }

 private:
  std::string registryFile_;
  std::string problem_;
};

/// The predefined roots. Any other value prints as "UNKNOWN HKEY" and cannot
/// be opened.
enum JRegistryRoot : uint32_t {
  HKEY_CLASSES_ROOT = 0x80000000u,
  HKEY_CURRENT_USER = 0x80000001u,
  HKEY_LOCAL_MACHINE = 0x80000002u,
  HKEY_USERS = 0x80000003u,
  HKEY_CURRENT_CONFIG = 0x80000005u,
};

/// Access rights a key is opened with. Reads need KEY_QUERY_VALUE,
/// enumSubKeys KEY_ENUMERATE_SUB_KEYS, value writes KEY_SET_VALUE, deleteKey
/// KEY_CREATE_SUB_KEY. Opening creates a missing key whatever the rights.
enum JRegistryAccess : uint32_t {
  KEY_QUERY_VALUE = 0x0001u,
  KEY_SET_VALUE = 0x0002u,
  KEY_CREATE_SUB_KEY = 0x0004u,
  KEY_ENUMERATE_SUB_KEYS = 0x0008u,
  KEY_READ = 0x20019u,
  KEY_WRITE = 0x20006u,
  KEY_ALL_ACCESS = 0xF003Fu,
};

/// An open key: its root, its path below the root and the rights it was
/// opened with. Copies refer to the same key.
///
/// Concurrency: distinct objects may be used from any threads and processes
/// at once (writes to one root serialise on the store's file lock). One
/// object may be read from several threads; open, openSubKey, close and
/// assignment must not run concurrently with other calls on the same object.
class JSystemRegistryKey {
 public:
  JSystemRegistryKey() = default;
  /// Opens (creating when missing) `path` under `root`.
  JSystemRegistryKey(uint32_t root, std::string_view path, uint32_t access = KEY_ALL_ACCESS);
  JSystemRegistryKey(const JSystemRegistryKey& oKey);
  JSystemRegistryKey& operator=(const JSystemRegistryKey& oKey);
  ~JSystemRegistryKey() = default;

  /// The name printed for a root: "HKEY_LOCAL_MACHINE" ... or "UNKNOWN HKEY".
  static const char* rootName(uint32_t root);

  /// Opens `path` (components separated by '\') under `root`, creating the
  /// key and its missing parents; the previous key of this object is closed
  /// first. Throws JSysError "Function=RegCreateKeyEx, ..." on failure (for
  /// example EACCES or ENOTDIR when the registry directory cannot be made).
  void open(uint32_t root, std::string_view path, uint32_t access = KEY_ALL_ACCESS);
  /// The same, relative to the open key `parent` (which may be this object).
  void openSubKey(const JSystemRegistryKey& parent, std::string_view name,
                  uint32_t access = KEY_ALL_ACCESS);
  void close();
  bool isOpen() const { return open_; }

  uint32_t root() const { return root_; }
  /// The key's path below its root, as it was given (empty components
  /// dropped).
  const std::string& path() const { return path_; }

  /// True and `value` filled when the value exists; false and `value`
  /// untouched when it does not. A value of another kind throws (EINVAL).
  bool getDword(std::string_view name, uint32_t& value) const;
  bool getDword(std::string_view name, int& value) const;
  /// A DWORD read as a boolean: true when non-zero.
  bool getBool(std::string_view name, bool& value) const;
  bool getString(std::string_view name, std::string& value) const;

  void setDword(std::string_view name, uint32_t value);
  void setBool(std::string_view name, bool value) { setDword(name, value ? 1u : 0u); }
  /// Stores a REG_SZ value. A string holding a CR or LF cannot be written in
  /// the file format and throws (EINVAL).
  void setString(std::string_view name, std::string_view value);
  /// False when there was no such value.
  bool deleteValue(std::string_view name);
  /// Deletes the subkey `name` with everything below it; false when absent.
  bool deleteKey(std::string_view name);
  /// Makes the writes done so far durable. Each write already replaces the
  /// file atomically and syncs it; this also syncs the directory entry.
  void flush();

  /// The names of the immediate subkeys, in the order they were created (the
  /// order their sections first appear in the file).
  std::vector<std::string> enumSubKeys() const;

  /// A read-only copy of this key that reads the root's file as it is now,
  /// as do the subkeys opened from it (openSubKey with it as the parent) that
  /// exist at this moment: a batch of reads of many keys costs one read of
  /// the file, and sees one state of it. Its rights are this key's read
  /// rights: writes through it fail (EACCES). A subkey that the snapshot
  /// does not hold is opened in the file as usual. Failures throw
  /// "Function=RegCreateKeyEx, ...", as opening does.
  JSystemRegistryKey snapshot() const;

 private:
  // A snapshot of `key` reading `image`.
  JSystemRegistryKey(const JSystemRegistryKey& key, std::shared_ptr<const RegistryImage> image);
  [[noreturn]] void fail(const char* function, int code) const;
  [[noreturn]] void fail(const char* function, const RegistryStoreError& error) const;
  RegistryRootFile file() const;
  // Reads the root's file (or takes the snapshot) for an operation needing
  // `right` on an existing key.
  std::shared_ptr<const RegistryImage> load(uint32_t right, const char* function) const;
  // Writes one value of the key ("RegSetValueEx").
  void storeValue(const RegistryValue& value);

  uint32_t root_ = 0;
  std::string path_;
  uint32_t access_ = 0;
  bool open_ = false;
  // The image every read of a snapshot uses; null for a key that reads the file.
  std::shared_ptr<const RegistryImage> snapshot_;
};

}  // namespace zq

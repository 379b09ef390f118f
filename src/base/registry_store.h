// The registry store behind JSystemRegistryKey: one REGEDIT4 text file per
// root in the registry directory, parsed into an ordered model and rewritten.
//
// File format (what an administrator reads and edits):
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Quorvanta\Log\File]
//   "Type"="File"
//   "AllowMultiple"=dword:00000001
//
// A section per key, in creation order; values in their own order. Strings
// escape '\' and '"' with a backslash; DWORDs are 8 hex digits. Any other
// value kind (hex:..., hex(2):..., with continuation lines) is kept and
// rewritten unchanged. Comment lines (';'), blank lines and CR LF line ends
// are accepted; comments and lines the parser does not understand are kept
// with the item that follows them. Key and value names compare
// case-insensitively and keep the case they were created with.
//
// Writes replace the file atomically (new file in the same directory, fsync,
// rename) under an exclusive flock on "<root file>.lock", so that writers in
// several processes serialise and readers see either the old or the new file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zq {

/// A failed file operation of the store: the errno of the failure. The key
/// layer turns it into a JSysError naming the registry function.
struct RegistryIoError {
  int code;
};

/// One value line of a section.
struct RegistryValue {
  enum class Kind { kString, kDword, kOther };

  std::string name;  // "" is the key's default value, written as @
  Kind kind = Kind::kOther;
  std::string text;    // kString: the unescaped string
  uint32_t dword = 0;  // kDword
  std::string raw;     // kOther: everything after '=' as written, continuation lines included
  std::vector<std::string> comments;  // lines kept before this value
};

/// One section: a key and its values. `path` is relative to the root ("" is
/// the root itself); `foreign` sections name another root and are only kept.
struct RegistrySection {
  std::string header;  // the text between '[' and ']' as written
  std::string path;
  bool foreign = false;
  std::vector<RegistryValue> values;
  std::vector<std::string> comments;
};

/// The parsed image of one root's file.
class RegistryImage {
 public:
  /// An empty image of root `rootName`.
  explicit RegistryImage(std::string rootName) : rootName_(std::move(rootName)) {}

  /// Parses the text of a file of root `rootName`. Throws nothing: lines it
  /// does not understand are kept as comments. `valid` is false when the
  /// first meaningful line is not "REGEDIT4".
  static RegistryImage parse(std::string_view text, std::string_view rootName);
  std::string serialise() const;

  bool valid() const { return valid_; }

  /// True when the key exists: a section names it or a key below it.
  bool keyExists(std::string_view path) const;
  /// Creates the key and its missing ancestors (appended, ancestors first).
  /// Returns false when it already existed.
  bool createKey(std::string_view path);
  /// Removes the key and every key below it; false when it did not exist.
  bool deleteKey(std::string_view path);
  /// Immediate subkey names, in the order their first section appears.
  std::vector<std::string> subKeys(std::string_view path) const;

  /// The value, or null. Later duplicate sections override earlier ones.
  const RegistryValue* findValue(std::string_view path, std::string_view name) const;
  /// Replaces (keeping the stored name's case) or appends a value; creates
  /// the key's section when the key exists only through its subkeys.
  void setValue(std::string_view path, RegistryValue value);
  bool deleteValue(std::string_view path, std::string_view name);

 private:
  RegistrySection* findSection(std::string_view path);

  std::string rootName_;
  bool valid_ = true;
  std::vector<RegistrySection> sections_;
  std::vector<std::string> trailingComments_;
};

/// Case-insensitive (ASCII) equality of key and value names.
bool registryNamesEqual(std::string_view a, std::string_view b);

/// The files of one root in the registry directory.
///
/// Concurrency: any thread, any process. read() never blocks on writers;
/// update() serialises with every other update of the same root.
class RegistryRootFile {
 public:
  /// The registry directory: $ZQ_REGISTRY_DIR, else /var/lib/zq/registry.
  static std::string directory();

  RegistryRootFile(std::string directory, std::string rootName);

  const std::string& path() const { return path_; }

  /// The current image, read from the file at each call (so another
  /// process's write is seen at once); an absent file reads as an empty valid
  /// image. Throws RegistryIoError (EINVAL for a file that does not begin
  /// with "REGEDIT4").
  std::shared_ptr<const RegistryImage> read() const;

  /// Creates the directory when needed, takes the lock, re-reads the file,
  /// lets `change` modify the image and, when it returns true, replaces the
  /// file. Throws RegistryIoError; `change` may throw too.
  template <typename Change>
  void update(Change&& change) {
    UpdateGuard guard(*this);
    RegistryImage image = *read();
    if (change(image)) {
      write(image);
    }
  }

  /// Makes the last rename durable (fsync of the directory). Throws
  /// RegistryIoError.
  void sync() const;

 private:
  class UpdateGuard {
   public:
    explicit UpdateGuard(const RegistryRootFile& file);
    ~UpdateGuard();
    UpdateGuard(const UpdateGuard&) = delete;
    UpdateGuard& operator=(const UpdateGuard&) = delete;

   private:
    int fd_;
  };
  void write(const RegistryImage& image) const;

  std::string directory_;
  std::string rootName_;
  std::string path_;
};

}  // namespace zq

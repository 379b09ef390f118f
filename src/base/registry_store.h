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
// escape '\' and '"' with a backslash; DWORDs are 1 to 8 hex digits. The
// other value kinds (hex:..., hex(n):..., with continuation lines) are kept
// and rewritten unchanged. Comment lines (';'), blank lines and CR LF line
// ends are accepted; comments and lines that are neither a section header nor
// a value are kept with the item that follows them. A section header or a
// value line that is malformed makes the whole file unusable: it is reported
// with its line number and the file is never rewritten. Key and value names
// compare case-insensitively and keep the case they were created with.
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

/// A failed operation of the store. The key layer turns it into a JSysError
/// naming the registry function.
struct RegistryStoreError {
  int code;            // errno of the failure; EINVAL for a file that cannot be parsed
  std::string path;    // the file or directory concerned; empty when none is known
  std::string detail;  // what is wrong with the file ("line 12: unterminated string");
                       // empty for a failed system call
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

/// The parsed image of one root's file, with a hash index of its keys by
/// lower-cased path, so that a lookup costs the size of the key looked up,
/// not of the file.
///
/// Concurrency: const members may be called from any threads at once; the
/// others need the image to themselves.
class RegistryImage {
 public:
  /// An empty image of root `rootName`.
  explicit RegistryImage(std::string rootName);

  /// Parses the text of a file of root `rootName`, in one pass. Lines that
  /// are neither a section header nor a value are kept as comments. Throws
  /// RegistryStoreError (EINVAL, no path) whose detail is "not a REGEDIT4
  /// file" when the first line that is not blank or a comment is not
  /// "REGEDIT4", or "line N: <what>" for a malformed header or value line.
  static RegistryImage parse(std::string_view text, std::string_view rootName);
  std::string serialise() const;

  /// True when the key exists: a section names it or a key below it.
  bool keyExists(std::string_view path) const;
  /// Creates the key and its missing ancestors (appended, ancestors first).
  /// Returns false when it already existed.
  bool createKey(std::string_view path);
  /// Removes the key and every key below it; false when it did not exist.
  bool deleteKey(std::string_view path);
  /// Immediate subkey names, in the order their first section appears (the
  /// first section at or below each of them).
  std::vector<std::string> subKeys(std::string_view path) const;

  /// The value, or null. Later duplicate sections override earlier ones.
  const RegistryValue* findValue(std::string_view path, std::string_view name) const;
  /// Replaces (keeping the stored name's case) or appends a value; creates
  /// the key's section when the key exists only through its subkeys.
  void setValue(std::string_view path, RegistryValue value);
  bool deleteValue(std::string_view path, std::string_view name);

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  // A key named by a section or lying above one. Children and sections are
  // chained by index, so that indexing allocates nothing per key.
  struct KeyNode {
    std::string name;        // last path component, in its first case
    uint32_t pathStart = 0;  // the lower-cased path is lowPaths_.substr(pathStart, pathLength)
    uint32_t pathLength = 0;
    uint32_t firstChild = kNone;  // children in the order their first section appears
    uint32_t lastChild = kNone;
    uint32_t nextSibling = kNone;
    uint32_t firstSection = kNone;  // sections naming the key, in file order,
    uint32_t lastSection = kNone;   // chained by nextSection_
  };

  // The node of a key, or null.
  const KeyNode* findNode(std::string_view path) const;
  // The slot of `path` in slots_: the one holding its node, or the empty
  // one where it belongs.
  size_t slotOf(std::string_view path, uint64_t hash) const;
  // The node of `path`, created with its missing ancestors.
  uint32_t nodeFor(std::string_view path);
  // Enters sections_[i] in the index.
  void indexSection(uint32_t i);
  // Rebuilds the index (after sections were removed).
  void reindex();
  void appendSection(std::string_view path);

  std::string rootName_;
  std::vector<RegistrySection> sections_;
  std::vector<std::string> trailingComments_;
  std::vector<KeyNode> nodes_;         // nodes_[0] is the root itself
  std::vector<uint32_t> nextSection_;  // per section: the next one naming the same key
  std::string lowPaths_;               // every node's lower-cased path, back to back
  std::vector<uint32_t> slots_;        // open addressing over nodes_, at most half full
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

  /// The current image. The file is read at each call (so another process's
  /// write is seen at once); it is parsed again only when its bytes differ
  /// from those of the last image of the same file that this process parsed.
  /// An absent file reads as an empty image. Throws RegistryStoreError
  /// naming the file (EINVAL with a detail for a file that cannot be parsed).
  std::shared_ptr<const RegistryImage> read() const;

  /// Creates the directory when needed, takes the lock, re-reads the file,
  /// lets `change` modify the image and, when it returns true, replaces the
  /// file. Throws RegistryStoreError; `change` may throw too.
  template <typename Change>
  void update(Change&& change) {
    UpdateGuard guard(*this);
    RegistryImage image = *read();
    if (change(image)) {
      write(image);
    }
  }

  /// Makes the last rename durable (fsync of the directory). Throws
  /// RegistryStoreError.
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

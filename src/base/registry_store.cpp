// The REGEDIT4 file model of the registry store, its parser, index and
// writer, and the locked, atomic replacement of a root's file.
#include "base/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <mutex>

namespace zq {
namespace {

constexpr const char* kDefaultDirectory = "/var/lib/zq/registry";
constexpr const char* kHeader = "REGEDIT4";

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    c = lower(c);
  }
  return out;
}

// FNV-1a over the lower-cased bytes: equal for names that compare equal.
uint64_t pathHash(std::string_view path) {
  uint64_t h = 14695981039346656037ull;
  for (char c : path) {
    h = (h ^ static_cast<unsigned char>(lower(c))) * 1099511628211ull;
  }
  return h;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && registryNamesEqual(s.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

// Joins the non-empty components of a backslash-separated path.
std::string normalisePath(std::string_view path) {
  std::string out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    if (end > start) {
      if (!out.empty()) {
        out.push_back('\\');
      }
      out.append(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return out;
}

// Reads a quoted string starting at s[pos] == '"'. On success sets `out` to
// the unescaped text and `pos` just past the closing quote. Only \\ and \"
// are escapes; any other backslash is kept with its character, as in the
// files administrators write by hand ("C:\logs").
bool readQuoted(std::string_view s, size_t& pos, std::string& out) {
  out.clear();
  size_t i = pos + 1;
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      pos = i + 1;
      return true;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out.push_back(s[i + 1]);
      i += 2;
      continue;
    }
    out.push_back(c);
    ++i;
  }
  return false;
}

std::string quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') {
      out.push_back('\\');
    }
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (lower(c) >= 'a' && lower(c) <= 'f');
}

bool parseDword(std::string_view s, uint32_t& out) {
  s = trim(s);
  if (s.empty() || s.size() > 8) {
    return false;
  }
  uint32_t v = 0;
  for (char c : s) {
    if (!isHexDigit(c)) {
      return false;
    }
    const int d = c <= '9' ? c - '0' : lower(c) - 'a' + 10;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  out = v;
  return true;
}

// "hex:" or "hex(<hex digits>):" at the start of `data`.
bool isHexKind(std::string_view data) {
  if (startsWithNoCase(data, "hex:")) {
    return true;
  }
  if (!startsWithNoCase(data, "hex(")) {
    return false;
  }
  size_t i = 4;
  while (i < data.size() && isHexDigit(data[i])) {
    ++i;
  }
  return i > 4 && data.substr(i, 2) == "):";
}

// A malformed line: the file cannot be used.
[[noreturn]] void malformed(size_t lineIndex, const char* what) {
  throw RegistryStoreError{EINVAL, {}, "line " + std::to_string(lineIndex + 1) + ": " + what};
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Parses the value line lines[i] (starting with '"' or '@'), advancing `i`
// over its continuation lines.
RegistryValue parseValue(const std::vector<std::string_view>& lines, size_t& i) {
  const size_t first = i;
  std::string_view line = trim(lines[i]);
  RegistryValue value;
  size_t pos = 1;  // past '@', the default value's name
  if (line.front() == '"') {
    pos = 0;
    if (!readQuoted(line, pos, value.name)) {
      malformed(first, "unterminated string");
    }
  }
  std::string_view rest = trim(line.substr(pos));
  if (rest.empty() || rest.front() != '=') {
    malformed(first, "'=' expected after the value name");
  }
  std::string_view data = trim(rest.substr(1));
  if (!data.empty() && data.front() == '"') {
    size_t end = 0;
    if (!readQuoted(data, end, value.text)) {
      malformed(first, "unterminated string");
    }
    if (!trim(data.substr(end)).empty()) {
      malformed(first, "text after the closing quote");
    }
    value.kind = RegistryValue::Kind::kString;
    return value;
  }
  if (startsWithNoCase(data, "dword:")) {
    if (!parseDword(data.substr(6), value.dword)) {
      malformed(first, "dword: needs 1 to 8 hex digits");
    }
    value.kind = RegistryValue::Kind::kDword;
    return value;
  }
  if (!isHexKind(data)) {
    malformed(first, "the value is not a string, dword: or hex:");
  }
  // Kept as written; it continues on the next line after a trailing backslash.
  value.kind = RegistryValue::Kind::kOther;
  value.raw = std::string(data);
  while (value.raw.back() == '\\') {
    if (++i == lines.size()) {
      malformed(first, "hex value continued past the end of the file");
    }
    value.raw.push_back('\n');
    value.raw.append(lines[i]);
  }
  return value;
}

void writeAll(int fd, const std::string& data, const std::string& path) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw RegistryStoreError{errno, path, {}};
    }
    done += static_cast<size_t>(n);
  }
}

// mkdir -p
void createDirectories(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      throw RegistryStoreError{ENOTDIR, path, {}};
    }
    return;
  }
  if (errno != ENOENT) {
    throw RegistryStoreError{errno, path, {}};
  }
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    createDirectories(path.substr(0, slash));
  }
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    throw RegistryStoreError{errno, path, {}};
  }
}

// The whole file, or false when it does not exist.
bool readWholeFile(const std::string& path, std::string& text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      return false;
    }
    throw RegistryStoreError{errno, path, {}};
  }
  struct stat st;
  size_t capacity = ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  // One more byte than the size, so that the end is found without a
  // second, growing read when the file did not change meanwhile.
  text.resize(capacity + 1);
  size_t used = 0;
  for (;;) {
    if (used == text.size()) {
      text.resize(text.size() * 2);
    }
    ssize_t n = ::read(fd, text.data() + used, text.size() - used);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      int e = errno;
      ::close(fd);
      throw RegistryStoreError{e, path, {}};
    }
    if (n == 0) {
      break;
    }
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  text.resize(used);
  return true;
}

// The last images this process parsed, by file path, with the bytes they
// were parsed from: a read that finds the same bytes reuses the image.
// Comparing the bytes (not the inode, size and times, which a quick rewrite
// can repeat: inode numbers are reused at once and times are coarse) keeps
// every read exact.
class ImageCache {
 public:
  std::shared_ptr<const RegistryImage> find(const std::string& path, const std::string& text) {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->path == path) {
        if (it->text != text) {
          return nullptr;
        }
        entries_.splice(entries_.begin(), entries_, it);
        return it->image;
      }
    }
    return nullptr;
  }

  void store(const std::string& path, std::string text,
             std::shared_ptr<const RegistryImage> image) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return e.path == path; });
    entries_.push_front({path, std::move(text), std::move(image)});
    if (entries_.size() > kEntries) {
      entries_.pop_back();
    }
  }

 private:
  // A process reads one or two roots; tests use many directories in turn.
  static constexpr size_t kEntries = 4;
  struct Entry {
    std::string path;
    std::string text;
    std::shared_ptr<const RegistryImage> image;
  };
  std::mutex mutex_;
  std::list<Entry> entries_;  // most recently used first
};

// Never destroyed: keys may be read from static destructors.
ImageCache& imageCache() {
  static ImageCache* cache = new ImageCache;
  return *cache;
}

}  // namespace

bool registryNamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

// ---- RegistryImage ----------------------------------------------------------

RegistryImage::RegistryImage(std::string rootName) : rootName_(std::move(rootName)) {
  reindex();
}

RegistryImage RegistryImage::parse(std::string_view text, std::string_view rootName) {
  RegistryImage image{std::string(rootName)};
  std::vector<std::string_view> lines = splitLines(text);
  std::vector<std::string> pending;  // comments waiting for the next item
  bool sawHeader = false;
  RegistrySection* section = nullptr;

  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = trim(lines[i]);
    if (line.empty()) {
      continue;
    }
    if (line.front() == ';') {
      pending.emplace_back(lines[i]);
      continue;
    }
    if (!sawHeader) {
      if (line != kHeader) {
        throw RegistryStoreError{EINVAL, {}, "not a REGEDIT4 file"};
      }
      sawHeader = true;
      continue;
    }
    if (line.front() == '[') {
      if (line.back() != ']') {
        malformed(i, "section header does not end with ']'");
      }
      std::string_view h = line.substr(1, line.size() - 2);
      if (!h.empty() && h.front() == '-') {
        malformed(i, "deleting a key ([-...]) is not supported");
      }
      if (trim(h).empty()) {
        malformed(i, "section header without a key");
      }
      RegistrySection s;
      s.header = std::string(h);
      size_t slash = h.find('\\');
      s.foreign = !registryNamesEqual(h.substr(0, slash), rootName);
      s.path = slash == std::string_view::npos ? std::string() : normalisePath(h.substr(slash + 1));
      s.comments = std::move(pending);
      pending.clear();
      image.sections_.push_back(std::move(s));
      section = &image.sections_.back();
      if (!section->foreign) {
        image.indexSection(static_cast<uint32_t>(image.sections_.size() - 1));
      }
      continue;
    }
    if (line.front() == '"' || line.front() == '@') {
      if (section == nullptr) {
        malformed(i, "value before the first section header");
      }
      RegistryValue value = parseValue(lines, i);
      value.comments = std::move(pending);
      pending.clear();
      section->values.push_back(std::move(value));
      continue;
    }
    // Neither a section nor a value: kept as written, with the item that follows.
    pending.emplace_back(lines[i]);
  }
  image.trailingComments_ = std::move(pending);
  return image;
}

std::string RegistryImage::serialise() const {
  std::string out = kHeader;
  out += "\n\n";
  for (const RegistrySection& s : sections_) {
    for (const std::string& c : s.comments) {
      out += c;
      out += '\n';
    }
    out += '[';
    out += s.header;
    out += "]\n";
    for (const RegistryValue& v : s.values) {
      for (const std::string& c : v.comments) {
        out += c;
        out += '\n';
      }
      out += v.name.empty() ? std::string("@") : quote(v.name);
      out += '=';
      switch (v.kind) {
        case RegistryValue::Kind::kString:
          out += quote(v.text);
          break;
        case RegistryValue::Kind::kDword: {
          char buf[16];
          std::snprintf(buf, sizeof buf, "%08x", v.dword);
          out += "dword:";
          out += buf;
          break;
        }
        case RegistryValue::Kind::kOther:
          out += v.raw;
          break;
      }
      out += '\n';
    }
    out += '\n';
  }
  for (const std::string& c : trailingComments_) {
    out += c;
    out += '\n';
  }
  return out;
}

const RegistryImage::KeyNode* RegistryImage::findNode(std::string_view path) const {
  const uint32_t id = slots_[slotOf(path, pathHash(path))];
  return id == kNone ? nullptr : &nodes_[id];
}

size_t RegistryImage::slotOf(std::string_view path, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint32_t id = slots_[slot];
    if (id == kNone || registryNamesEqual(path, std::string_view(lowPaths_).substr(
                                                    nodes_[id].pathStart, nodes_[id].pathLength))) {
      return slot;
    }
  }
}

uint32_t RegistryImage::nodeFor(std::string_view path) {
  const uint64_t hash = pathHash(path);
  if (const uint32_t id = slots_[slotOf(path, hash)]; id != kNone) {
    return id;
  }
  const size_t slash = path.rfind('\\');
  const uint32_t parent = slash == std::string_view::npos ? 0 : nodeFor(path.substr(0, slash));
  const auto id = static_cast<uint32_t>(nodes_.size());
  KeyNode node;
  node.name = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
  node.pathStart = static_cast<uint32_t>(lowPaths_.size());
  node.pathLength = static_cast<uint32_t>(path.size());
  for (char c : path) {
    lowPaths_.push_back(lower(c));
  }
  nodes_.push_back(std::move(node));
  KeyNode& p = nodes_[parent];
  (p.lastChild == kNone ? p.firstChild : nodes_[p.lastChild].nextSibling) = id;
  p.lastChild = id;

  if (2 * nodes_.size() > slots_.size()) {
    // Grow: every node goes into a table twice as large.
    slots_.assign(slots_.size() * 2, kNone);
    for (uint32_t n = 0; n < nodes_.size(); ++n) {
      const std::string_view low =
          std::string_view(lowPaths_).substr(nodes_[n].pathStart, nodes_[n].pathLength);
      slots_[slotOf(low, pathHash(low))] = n;
    }
  } else {
    slots_[slotOf(path, hash)] = id;
  }
  return id;
}

void RegistryImage::indexSection(uint32_t i) {
  KeyNode& node = nodes_[nodeFor(sections_[i].path)];
  nextSection_.resize(sections_.size(), kNone);
  (node.lastSection == kNone ? node.firstSection : nextSection_[node.lastSection]) = i;
  node.lastSection = i;
}

void RegistryImage::reindex() {
  nodes_.assign(1, KeyNode{});
  nextSection_.assign(sections_.size(), kNone);
  lowPaths_.clear();
  slots_.assign(16, kNone);
  slots_[slotOf({}, pathHash({}))] = 0;
  for (size_t i = 0; i < sections_.size(); ++i) {
    if (!sections_[i].foreign) {
      indexSection(static_cast<uint32_t>(i));
    }
  }
}

void RegistryImage::appendSection(std::string_view path) {
  RegistrySection s;
  s.header = path.empty() ? rootName_ : rootName_ + "\\" + std::string(path);
  s.path = std::string(path);
  sections_.push_back(std::move(s));
  indexSection(static_cast<uint32_t>(sections_.size() - 1));
}

bool RegistryImage::keyExists(std::string_view path) const {
  return path.empty() || findNode(path) != nullptr;
}

bool RegistryImage::createKey(std::string_view path) {
  if (keyExists(path)) {
    return false;
  }
  // A section for each missing ancestor, then one for the key.
  size_t end = 0;
  while (end != std::string_view::npos) {
    end = path.find('\\', end + 1);
    std::string_view prefix = path.substr(0, end);
    if (!keyExists(prefix)) {
      appendSection(prefix);
    }
  }
  return true;
}

bool RegistryImage::deleteKey(std::string_view path) {
  if (!keyExists(path)) {
    return false;
  }
  const std::string low = lowered(path);
  std::erase_if(sections_, [&](const RegistrySection& s) {
    if (s.foreign || s.path.size() < low.size()) {
      return false;
    }
    return registryNamesEqual(std::string_view(s.path).substr(0, low.size()), low) &&
           (low.empty() || s.path.size() == low.size() || s.path[low.size()] == '\\');
  });
  reindex();
  return true;
}

std::vector<std::string> RegistryImage::subKeys(std::string_view path) const {
  std::vector<std::string> names;
  if (const KeyNode* node = findNode(path)) {
    for (uint32_t child = node->firstChild; child != kNone; child = nodes_[child].nextSibling) {
      names.push_back(nodes_[child].name);
    }
  }
  return names;
}

const RegistryValue* RegistryImage::findValue(std::string_view path, std::string_view name) const {
  const KeyNode* node = findNode(path);
  if (node == nullptr) {
    return nullptr;
  }
  const RegistryValue* found = nullptr;
  for (uint32_t i = node->firstSection; i != kNone; i = nextSection_[i]) {
    for (const RegistryValue& v : sections_[i].values) {
      if (registryNamesEqual(v.name, name)) {
        found = &v;
      }
    }
  }
  return found;
}

void RegistryImage::setValue(std::string_view path, RegistryValue value) {
  if (auto* existing = const_cast<RegistryValue*>(findValue(path, value.name))) {
    value.name = existing->name;
    value.comments = std::move(existing->comments);
    *existing = std::move(value);
    return;
  }
  const KeyNode* node = findNode(path);
  if (node == nullptr || node->firstSection == kNone) {
    appendSection(path);
    node = findNode(path);
  }
  sections_[node->firstSection].values.push_back(std::move(value));
}

bool RegistryImage::deleteValue(std::string_view path, std::string_view name) {
  const KeyNode* node = findNode(path);
  if (node == nullptr) {
    return false;
  }
  bool any = false;
  for (uint32_t i = node->firstSection; i != kNone; i = nextSection_[i]) {
    any |= std::erase_if(sections_[i].values, [&](const RegistryValue& v) {
             return registryNamesEqual(v.name, name);
           }) > 0;
  }
  return any;
}

// ---- RegistryRootFile -------------------------------------------------------

std::string RegistryRootFile::directory() {
  const char* dir = std::getenv("ZQ_REGISTRY_DIR");
  return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string(kDefaultDirectory);
}

RegistryRootFile::RegistryRootFile(std::string directory, std::string rootName)
    : directory_(std::move(directory)),
      rootName_(std::move(rootName)),
      path_(directory_ + "/" + rootName_ + ".reg") {}

std::shared_ptr<const RegistryImage> RegistryRootFile::read() const {
  std::string text;
  if (!readWholeFile(path_, text)) {
    return std::make_shared<const RegistryImage>(rootName_);
  }
  if (auto image = imageCache().find(path_, text)) {
    return image;
  }
  std::shared_ptr<const RegistryImage> image;
  try {
    image = std::make_shared<const RegistryImage>(RegistryImage::parse(text, rootName_));
  } catch (RegistryStoreError& e) {
    e.path = path_;
    throw;
  }
  imageCache().store(path_, std::move(text), image);
  return image;
}

RegistryRootFile::UpdateGuard::UpdateGuard(const RegistryRootFile& file) {
  createDirectories(file.directory_);
  std::string lockPath = file.path_ + ".lock";
  fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    throw RegistryStoreError{errno, lockPath, {}};
  }
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      int e = errno;
      ::close(fd_);
      throw RegistryStoreError{e, lockPath, {}};
    }
  }
}

RegistryRootFile::UpdateGuard::~UpdateGuard() {
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
}

void RegistryRootFile::write(const RegistryImage& image) const {
  // Only the lock holder writes the new file, so one fixed name is enough; a
  // file left by a writer that died is simply overwritten.
  std::string tmp = path_ + ".new";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw RegistryStoreError{errno, tmp, {}};
  }
  try {
    writeAll(fd, image.serialise(), tmp);
    if (::fsync(fd) != 0) {
      throw RegistryStoreError{errno, tmp, {}};
    }
  } catch (const RegistryStoreError&) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path_.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    throw RegistryStoreError{e, path_, {}};
  }
}

void RegistryRootFile::sync() const {
  int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    throw RegistryStoreError{errno, directory_, {}};
  }
  int rc = ::fsync(fd);
  int e = errno;
  ::close(fd);
  if (rc != 0) {
    throw RegistryStoreError{e, directory_, {}};
  }
}

}  // namespace zq

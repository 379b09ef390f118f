// The REGEDIT4 file model of the registry store, its parser and writer, and
// the locked, atomic replacement of a root's file.
#include "base/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace zq {
namespace {

constexpr const char* kDefaultDirectory = "/var/lib/zq/registry";
constexpr const char* kHeader = "REGEDIT4";

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
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

// True when `path` is `parent` itself or below it.
bool isAtOrBelow(std::string_view path, std::string_view parent) {
  if (parent.empty()) {
    return true;
  }
  if (path.size() < parent.size() || !registryNamesEqual(path.substr(0, parent.size()), parent)) {
    return false;
  }
  return path.size() == parent.size() || path[parent.size()] == '\\';
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

bool parseDword(std::string_view s, uint32_t& out) {
  s = trim(s);
  if (s.empty() || s.size() > 8) {
    return false;
  }
  uint32_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (lower(c) >= 'a' && lower(c) <= 'f') {
      d = lower(c) - 'a' + 10;
    } else {
      return false;
    }
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  out = v;
  return true;
}

// Classifies the text after '=' of a value line.
void classify(std::string_view data, RegistryValue& value) {
  std::string_view t = trim(data);
  if (!t.empty() && t.front() == '"') {
    size_t pos = 0;
    std::string text;
    if (readQuoted(t, pos, text) && trim(t.substr(pos)).empty()) {
      value.kind = RegistryValue::Kind::kString;
      value.text = std::move(text);
      return;
    }
  } else if (t.size() > 6 && registryNamesEqual(t.substr(0, 6), "dword:")) {
    uint32_t v;
    if (parseDword(t.substr(6), v)) {
      value.kind = RegistryValue::Kind::kDword;
      value.dword = v;
      return;
    }
  }
  value.kind = RegistryValue::Kind::kOther;
  value.raw = std::string(data);
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

void writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw RegistryIoError{errno};
    }
    done += static_cast<size_t>(n);
  }
}

// mkdir -p
void createDirectories(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      throw RegistryIoError{ENOTDIR};
    }
    return;
  }
  if (errno != ENOENT) {
    throw RegistryIoError{errno};
  }
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    createDirectories(path.substr(0, slash));
  }
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    throw RegistryIoError{errno};
  }
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
    if (!sawHeader) {
      if (line.front() == ';') {
        pending.emplace_back(lines[i]);
        continue;
      }
      sawHeader = true;
      if (line != kHeader) {
        image.valid_ = false;
        return image;
      }
      continue;
    }
    if (line.front() == ';') {
      pending.emplace_back(lines[i]);
      continue;
    }
    if (line.front() == '[' && line.back() == ']' && line.size() > 2 && line[1] != '-') {
      RegistrySection s;
      s.header = std::string(line.substr(1, line.size() - 2));
      std::string_view h = s.header;
      size_t slash = h.find('\\');
      std::string_view root = h.substr(0, slash);
      s.foreign = !registryNamesEqual(root, rootName);
      s.path = slash == std::string_view::npos ? std::string() : normalisePath(h.substr(slash + 1));
      s.comments = std::move(pending);
      pending.clear();
      image.sections_.push_back(std::move(s));
      section = &image.sections_.back();
      continue;
    }
    if (section != nullptr && (line.front() == '"' || line.front() == '@')) {
      RegistryValue value;
      size_t pos = 0;
      bool named = true;
      if (line.front() == '@') {
        pos = 1;
      } else {
        named = readQuoted(line, pos, value.name);
      }
      std::string_view rest = named ? trim(line.substr(pos)) : std::string_view();
      if (named && !rest.empty() && rest.front() == '=') {
        std::string data(trim(rest.substr(1)));
        // hex: values continue on the next line after a trailing backslash.
        while (!data.empty() && data.back() == '\\' && i + 1 < lines.size()) {
          ++i;
          data.push_back('\n');
          data.append(lines[i]);
        }
        classify(data, value);
        value.comments = std::move(pending);
        pending.clear();
        section->values.push_back(std::move(value));
        continue;
      }
    }
    // Not understood: kept as written, with the item that follows.
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

bool RegistryImage::keyExists(std::string_view path) const {
  if (path.empty()) {
    return true;
  }
  for (const RegistrySection& s : sections_) {
    if (!s.foreign && isAtOrBelow(s.path, path)) {
      return true;
    }
  }
  return false;
}

bool RegistryImage::createKey(std::string_view path) {
  if (keyExists(path)) {
    return false;
  }
  size_t end = 0;
  while (end != std::string_view::npos) {
    end = path.find('\\', end + 1);
    std::string_view prefix = path.substr(0, end);
    if (!keyExists(prefix)) {
      RegistrySection s;
      s.header = rootName_ + "\\" + std::string(prefix);
      s.path = std::string(prefix);
      sections_.push_back(std::move(s));
    }
  }
  return true;
}

bool RegistryImage::deleteKey(std::string_view path) {
  if (!keyExists(path)) {
    return false;
  }
  std::erase_if(sections_,
                [&](const RegistrySection& s) { return !s.foreign && isAtOrBelow(s.path, path); });
  return true;
}

std::vector<std::string> RegistryImage::subKeys(std::string_view path) const {
  std::vector<std::string> names;
  for (const RegistrySection& s : sections_) {
    if (s.foreign || s.path.size() <= path.size() || !isAtOrBelow(s.path, path)) {
      continue;
    }
    std::string_view rest = s.path;
    rest.remove_prefix(path.empty() ? 0 : path.size() + 1);
    std::string_view name = rest.substr(0, rest.find('\\'));
    bool seen = false;
    for (const std::string& n : names) {
      if (registryNamesEqual(n, name)) {
        seen = true;
        break;
      }
    }
    if (!seen) {
      names.emplace_back(name);
    }
  }
  return names;
}

const RegistryValue* RegistryImage::findValue(std::string_view path, std::string_view name) const {
  const RegistryValue* found = nullptr;
  for (const RegistrySection& s : sections_) {
    if (s.foreign || !registryNamesEqual(s.path, path)) {
      continue;
    }
    for (const RegistryValue& v : s.values) {
      if (registryNamesEqual(v.name, name)) {
        found = &v;
      }
    }
  }
  return found;
}

RegistrySection* RegistryImage::findSection(std::string_view path) {
  for (RegistrySection& s : sections_) {
    if (!s.foreign && registryNamesEqual(s.path, path)) {
      return &s;
    }
  }
  return nullptr;
}

void RegistryImage::setValue(std::string_view path, RegistryValue value) {
  if (auto* existing = const_cast<RegistryValue*>(findValue(path, value.name))) {
    value.name = existing->name;
    value.comments = std::move(existing->comments);
    *existing = std::move(value);
    return;
  }
  RegistrySection* s = findSection(path);
  if (s == nullptr) {
    RegistrySection fresh;
    fresh.header = path.empty() ? rootName_ : rootName_ + "\\" + std::string(path);
    fresh.path = std::string(path);
    sections_.push_back(std::move(fresh));
    s = &sections_.back();
  }
  s->values.push_back(std::move(value));
}

bool RegistryImage::deleteValue(std::string_view path, std::string_view name) {
  bool any = false;
  for (RegistrySection& s : sections_) {
    if (s.foreign || !registryNamesEqual(s.path, path)) {
      continue;
    }
    any |= std::erase_if(s.values, [&](const RegistryValue& v) {
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
  // Read afresh every time: a cache keyed on the file's inode, size and time
  // cannot tell two quick rewrites apart (inodes are reused, file times are
  // coarse), and these files are small.
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      return std::make_shared<const RegistryImage>(rootName_);
    }
    throw RegistryIoError{errno};
  }
  std::string text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      int e = errno;
      ::close(fd);
      throw RegistryIoError{e};
    }
    if (n == 0) {
      break;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  auto image = std::make_shared<const RegistryImage>(RegistryImage::parse(text, rootName_));
  if (!image->valid()) {
    throw RegistryIoError{EINVAL};
  }
  return image;
}

RegistryRootFile::UpdateGuard::UpdateGuard(const RegistryRootFile& file) {
  createDirectories(file.directory_);
  std::string lockPath = file.path_ + ".lock";
  fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    throw RegistryIoError{errno};
  }
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      int e = errno;
      ::close(fd_);
      throw RegistryIoError{e};
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
    throw RegistryIoError{errno};
  }
  try {
    writeAll(fd, image.serialise());
    if (::fsync(fd) != 0) {
      throw RegistryIoError{errno};
    }
  } catch (const RegistryIoError&) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path_.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    throw RegistryIoError{e};
  }
}

void RegistryRootFile::sync() const {
  int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    throw RegistryIoError{errno};
  }
  int rc = ::fsync(fd);
  int e = errno;
  ::close(fd);
  if (rc != 0) {
    throw RegistryIoError{e};
  }
}

}  // namespace zq

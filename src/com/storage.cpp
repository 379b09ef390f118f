// Storages: a tree held in memory, saved to and loaded from one file.
//
// The file: the mark "ZQSTG\x01\r\n", then the root's elements. Elements: a
// 32-bit count, then for each a type byte (2 stream, 1 storage), a 32-bit
// name length in UTF-16 units and the units, then for a stream a 64-bit
// length and its bytes, for a storage its elements. Little-endian.
#include "com/storage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "com/bstr.h"
#include "com/ref_count.h"
#include "com/stream_internal.h"

namespace zq::com {
namespace {

constexpr char kMark[8] = {'Z', 'Q', 'S', 'T', 'G', '\x01', '\r', '\n'};
constexpr int kMaxDepth = 64;

struct Node;
struct Element {
  std::shared_ptr<JStreamBytes> stream;
  std::shared_ptr<Node> storage;
};
struct Node {
  std::map<std::u16string, Element> elements;
};

// What every storage of one tree shares.
struct Root {
  std::mutex mutex;  // guards every Node of the tree
  std::string path;  // empty in memory
  bool writable = true;
  std::shared_ptr<Node> top = std::make_shared<Node>();
};

bool writableMode(DWORD mode) {
  return (mode & (STGM_WRITE | STGM_READWRITE)) != 0;
}

HRESULT checkName(const OLECHAR* name) {
  if (name == nullptr) {
    return STG_E_INVALIDPOINTER;
  }
  const std::u16string_view n(name);
  if (n.empty() || n.size() > 31 || n.find_first_of(u"/\\:!") != std::u16string_view::npos) {
    return STG_E_INVALIDNAME;
  }
  return S_OK;
}

void put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<char>(v >> (8 * i)));
  }
}
void put64(std::string& out, uint64_t v) {
  put32(out, static_cast<uint32_t>(v));
  put32(out, static_cast<uint32_t>(v >> 32));
}

void save(const Node& node, std::string& out) {
  put32(out, static_cast<uint32_t>(node.elements.size()));
  for (const auto& [name, e] : node.elements) {
    out.push_back(e.stream ? 2 : 1);
    put32(out, static_cast<uint32_t>(name.size()));
    for (char16_t c : name) {
      out.push_back(static_cast<char>(c & 0xFF));
      out.push_back(static_cast<char>(c >> 8));
    }
    if (e.stream) {
      std::lock_guard lock(e.stream->mutex);
      put64(out, e.stream->data.size());
      out.append(e.stream->data.begin(), e.stream->data.end());
    } else {
      save(*e.storage, out);
    }
  }
}

class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}
  bool take(size_t n, const char** p) {
    if (bytes_.size() - at_ < n) {
      return false;
    }
    *p = bytes_.data() + at_;
    at_ += n;
    return true;
  }
  bool u32(uint32_t& v) {
    const char* p = nullptr;
    if (!take(4, &p)) {
      return false;
    }
    v = 0;
    for (int i = 3; i >= 0; --i) {
      v = v << 8 | static_cast<uint8_t>(p[i]);
    }
    return true;
  }
  bool u64(uint64_t& v) {
    uint32_t lo = 0;
    uint32_t hi = 0;
    if (!u32(lo) || !u32(hi)) {
      return false;
    }
    v = uint64_t{hi} << 32 | lo;
    return true;
  }
  bool done() const { return at_ == bytes_.size(); }

 private:
  const std::string& bytes_;
  size_t at_ = 0;
};

bool load(Reader& r, Node& node, int depth) {
  uint32_t count = 0;
  if (depth > kMaxDepth || !r.u32(count)) {
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const char* p = nullptr;
    uint32_t length = 0;
    if (!r.take(1, &p)) {
      return false;
    }
    const char type = *p;
    if ((type != 1 && type != 2) || !r.u32(length) || length == 0 || length > 31 ||
        !r.take(size_t{length} * 2, &p)) {
      return false;
    }
    std::u16string name;
    for (uint32_t k = 0; k < length; ++k) {
      name.push_back(static_cast<char16_t>(static_cast<uint8_t>(p[2 * k]) |
                                           static_cast<uint8_t>(p[2 * k + 1]) << 8));
    }
    Element e;
    if (type == 2) {
      uint64_t size = 0;
      if (!r.u64(size) || !r.take(size, &p)) {
        return false;
      }
      e.stream = std::make_shared<JStreamBytes>();
      e.stream->data.assign(p, p + size);
    } else {
      e.storage = std::make_shared<Node>();
      if (!load(r, *e.storage, depth + 1)) {
        return false;
      }
    }
    if (!node.elements.emplace(std::move(name), std::move(e)).second) {
      return false;
    }
  }
  return true;
}

HRESULT writeFile(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return errno == EACCES || errno == EROFS ? STG_E_ACCESSDENIED : STG_E_WRITEFAULT;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      ::close(fd);
      ::unlink(temporary.c_str());
      return STG_E_WRITEFAULT;
    }
    done += static_cast<size_t>(n);
  }
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (!synced || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return STG_E_WRITEFAULT;
  }
  return S_OK;
}

class Storage : public JComObject<Storage, IStorage> {
 public:
  Storage(std::shared_ptr<Root> root, std::shared_ptr<Node> node, bool writable, std::string name,
          bool isRoot)
      : root_(std::move(root)),
        node_(std::move(node)),
        writable_(writable),
        name_(std::move(name)),
        isRoot_(isRoot) {}
  ~Storage() override {
    // The last reference to a writable file storage saves it, as a direct
    // mode storage has nothing left unwritten when it closes.
    if (isRoot_ && writable_ && !root_->path.empty()) {
      Commit(0);
    }
  }

  HRESULT CreateStream(const OLECHAR* name, DWORD mode, DWORD, DWORD, IStream** stream) override {
    if (stream == nullptr) {
      return STG_E_INVALIDPOINTER;
    }
    *stream = nullptr;
    if (HRESULT hr = checkName(name); FAILED(hr)) {
      return hr;
    }
    if (!writable_) {
      return STG_E_ACCESSDENIED;
    }
    std::shared_ptr<JStreamBytes> bytes = std::make_shared<JStreamBytes>();
    {
      std::lock_guard lock(root_->mutex);
      auto it = node_->elements.find(name);
      if (it != node_->elements.end() && (mode & STGM_CREATE) == 0) {
        return STG_E_FILEALREADYEXISTS;
      }
      node_->elements[name] = Element{bytes, nullptr};
    }
    return createMemoryStreamOn(bytes, true, utf8FromUtf16(name), stream);
  }

  HRESULT OpenStream(const OLECHAR* name, void*, DWORD mode, DWORD, IStream** stream) override {
    if (stream == nullptr) {
      return STG_E_INVALIDPOINTER;
    }
    *stream = nullptr;
    if (HRESULT hr = checkName(name); FAILED(hr)) {
      return hr;
    }
    if (writableMode(mode) && !writable_) {
      return STG_E_ACCESSDENIED;
    }
    std::shared_ptr<JStreamBytes> bytes;
    {
      std::lock_guard lock(root_->mutex);
      auto it = node_->elements.find(name);
      if (it == node_->elements.end() || !it->second.stream) {
        return STG_E_FILENOTFOUND;
      }
      bytes = it->second.stream;
    }
    return createMemoryStreamOn(bytes, writableMode(mode), utf8FromUtf16(name), stream);
  }

  HRESULT CreateStorage(const OLECHAR* name, DWORD mode, DWORD, DWORD,
                        IStorage** storage) override {
    if (storage == nullptr) {
      return STG_E_INVALIDPOINTER;
    }
    *storage = nullptr;
    if (HRESULT hr = checkName(name); FAILED(hr)) {
      return hr;
    }
    if (!writable_) {
      return STG_E_ACCESSDENIED;
    }
    auto node = std::make_shared<Node>();
    {
      std::lock_guard lock(root_->mutex);
      auto it = node_->elements.find(name);
      if (it != node_->elements.end() && (mode & STGM_CREATE) == 0) {
        return STG_E_FILEALREADYEXISTS;
      }
      node_->elements[name] = Element{nullptr, node};
    }
    *storage = new Storage(root_, node, true, utf8FromUtf16(name), false);
    return S_OK;
  }

  HRESULT OpenStorage(const OLECHAR* name, IStorage*, DWORD mode, void*, DWORD,
                      IStorage** storage) override {
    if (storage == nullptr) {
      return STG_E_INVALIDPOINTER;
    }
    *storage = nullptr;
    if (HRESULT hr = checkName(name); FAILED(hr)) {
      return hr;
    }
    if (writableMode(mode) && !writable_) {
      return STG_E_ACCESSDENIED;
    }
    std::shared_ptr<Node> node;
    {
      std::lock_guard lock(root_->mutex);
      auto it = node_->elements.find(name);
      if (it == node_->elements.end() || !it->second.storage) {
        return STG_E_FILENOTFOUND;
      }
      node = it->second.storage;
    }
    *storage = new Storage(root_, node, writableMode(mode), utf8FromUtf16(name), false);
    return S_OK;
  }

  HRESULT DestroyElement(const OLECHAR* name) override {
    if (HRESULT hr = checkName(name); FAILED(hr)) {
      return hr;
    }
    if (!writable_) {
      return STG_E_ACCESSDENIED;
    }
    std::lock_guard lock(root_->mutex);
    return node_->elements.erase(name) == 1 ? S_OK : STG_E_FILENOTFOUND;
  }

  HRESULT RenameElement(const OLECHAR* oldName, const OLECHAR* newName) override {
    for (const OLECHAR* n : {oldName, newName}) {
      if (HRESULT hr = checkName(n); FAILED(hr)) {
        return hr;
      }
    }
    if (!writable_) {
      return STG_E_ACCESSDENIED;
    }
    std::lock_guard lock(root_->mutex);
    auto it = node_->elements.find(oldName);
    if (it == node_->elements.end()) {
      return STG_E_FILENOTFOUND;
    }
    if (node_->elements.contains(newName)) {
      return STG_E_FILEALREADYEXISTS;
    }
    Element e = std::move(it->second);
    node_->elements.erase(it);
    node_->elements.emplace(newName, std::move(e));
    return S_OK;
  }

  HRESULT Commit(DWORD) override {
    if (root_->path.empty()) {
      return S_OK;
    }
    if (!root_->writable) {
      return STG_E_ACCESSDENIED;
    }
    std::string bytes(kMark, sizeof kMark);
    std::lock_guard lock(root_->mutex);
    save(*root_->top, bytes);
    return writeFile(root_->path, bytes);
  }

  HRESULT Stat(STATSTG* stat, DWORD flags) override {
    if (stat == nullptr) {
      return STG_E_INVALIDPOINTER;
    }
    fillStat(*stat, flags, name_, STGTY_STORAGE, 0, writable_ ? STGM_READWRITE : STGM_READ);
    return S_OK;
  }

 private:
  std::shared_ptr<Root> root_;
  std::shared_ptr<Node> node_;
  const bool writable_;
  const std::string name_;
  const bool isRoot_;
};

HRESULT rootStorage(std::shared_ptr<Root> root, IStorage** storage) {
  const std::string name = root->path;
  const bool writable = root->writable;
  std::shared_ptr<Node> top = root->top;
  *storage = new Storage(std::move(root), std::move(top), writable, name, true);
  return S_OK;
}

}  // namespace

HRESULT createMemoryStorage(IStorage** storage) {
  if (storage == nullptr) {
    return STG_E_INVALIDPOINTER;
  }
  return rootStorage(std::make_shared<Root>(), storage);
}

HRESULT createFileStorage(const std::string& path, DWORD mode, IStorage** storage) {
  if (storage == nullptr) {
    return STG_E_INVALIDPOINTER;
  }
  *storage = nullptr;
  if (!writableMode(mode)) {
    return STG_E_INVALIDPARAMETER;
  }
  std::error_code error;
  if ((mode & STGM_CREATE) == 0 && std::filesystem::exists(path, error)) {
    return STG_E_FILEALREADYEXISTS;
  }
  auto root = std::make_shared<Root>();
  root->path = path;
  // The file exists from now on, as an empty storage.
  std::string bytes(kMark, sizeof kMark);
  save(*root->top, bytes);
  if (HRESULT hr = writeFile(path, bytes); FAILED(hr)) {
    return hr;
  }
  return rootStorage(std::move(root), storage);
}

HRESULT openFileStorage(const std::string& path, DWORD mode, IStorage** storage) {
  if (storage == nullptr) {
    return STG_E_INVALIDPOINTER;
  }
  *storage = nullptr;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return errno == EACCES ? STG_E_ACCESSDENIED : STG_E_FILENOTFOUND;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto root = std::make_shared<Root>();
  root->path = path;
  root->writable = writableMode(mode);
  if (bytes.size() < sizeof kMark || std::memcmp(bytes.data(), kMark, sizeof kMark) != 0) {
    return STG_E_INVALIDHEADER;
  }
  const std::string body = bytes.substr(sizeof kMark);
  Reader r(body);
  if (!load(r, *root->top, 0) || !r.done()) {
    return STG_E_INVALIDHEADER;
  }
  return rootStorage(std::move(root), storage);
}

}  // namespace zq::com

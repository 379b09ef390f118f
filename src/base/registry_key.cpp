// JSystemRegistryKey over the registry store: opening and creating keys,
// typed value reads and writes, and the failures named after the registry
// functions they stand for.
#include "base/registry_key.h"

#include <cerrno>

#include "base/error.h"
#include "base/format.h"
#include "base/log.h"
#include "base/registry_store.h"

namespace zq {
namespace {

// Registry key names are at most 255 characters.
constexpr size_t kMaxKeyNameLength = 255;

// The switch for the key's own traces (copies), at level 20. Never
// destroyed: keys may be copied from static destructors.
const JTraceableObject& keyTracer() {
  static JTraceMask* mask = new JTraceMask(0);
  static JTraceableObject* tracer = new JTraceableObject("JSystemRegistryKey", mask);
  return *tracer;
}

// Entered in the traceable registry at start-up, so that its mask can be set
// by name before the first key is copied.
[[maybe_unused]] const JTraceableObject& g_keyTracer = keyTracer();

std::string joinPath(std::string_view parent, std::string_view name) {
  std::string out;
  auto append = [&out](std::string_view p) {
    size_t start = 0;
    while (start <= p.size()) {
      size_t end = p.find('\\', start);
      if (end == std::string_view::npos) {
        end = p.size();
      }
      if (end > start) {
        if (!out.empty()) {
          out.push_back('\\');
        }
        out.append(p.substr(start, end - start));
      }
      start = end + 1;
    }
  };
  append(parent);
  append(name);
  return out;
}

bool validKeyPath(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    if (end - start > kMaxKeyNameLength) {
      return false;
    }
    start = end + 1;
  }
  return path.find_first_of("\r\n") == std::string_view::npos;
}

bool knownRoot(uint32_t root) {
  switch (root) {
    case HKEY_CLASSES_ROOT:
    case HKEY_CURRENT_USER:
    case HKEY_LOCAL_MACHINE:
    case HKEY_USERS:
    case HKEY_CURRENT_CONFIG:
      return true;
    default:
      return false;
  }
}

}  // namespace

// ---- JRegistryFileError -----------------------------------------------------

JRegistryFileError::JRegistryFileError(uint32_t code, std::string_view function,
                                       std::string registryFile, std::string problem,
                                       const std::source_location& where)
    : JSysError(NoThrowLog{}, code, function, kDefaultTag, where),
      registryFile_(std::move(registryFile)),
      problem_(std::move(problem)) {
  logThrow();
}

void JRegistryFileError::getMessage(char* buffer, size_t size) const {
  copyTruncated(buffer, size,
                "system call error at function '" + std::string(function()) +
                    "' : " + registryFile_ + ": " + problem_);
}

std::unique_ptr<JError> JRegistryFileError::clone() const {
  return std::make_unique<JRegistryFileError>(*this);
}

// ---- JSystemRegistryKey -----------------------------------------------------

const char* JSystemRegistryKey::rootName(uint32_t root) {
  switch (root) {
    case HKEY_CLASSES_ROOT:
      return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER:
      return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE:
      return "HKEY_LOCAL_MACHINE";
    case HKEY_USERS:
      return "HKEY_USERS";
    case HKEY_CURRENT_CONFIG:
      return "HKEY_CURRENT_CONFIG";
    default:
      return "UNKNOWN HKEY";
  }
}

JSystemRegistryKey::JSystemRegistryKey(uint32_t root, std::string_view path, uint32_t access) {
  open(root, path, access);
}

JSystemRegistryKey::JSystemRegistryKey(const JSystemRegistryKey& oKey)
    : root_(oKey.root_),
      path_(oKey.path_),
      access_(oKey.access_),
      open_(oKey.open_),
      snapshot_(oKey.snapshot_) {
  JLog::logTraceable(kLevelTraceRegistry, &keyTracer(), "%s",
                     "JSystemRegistryKey(const JSystemRegistryKey & oKey)");
}

JSystemRegistryKey& JSystemRegistryKey::operator=(const JSystemRegistryKey& oKey) {
  JLog::logTraceable(kLevelTraceRegistry, &keyTracer(), "%s",
                     "operator=(const JSystemRegistryKey & oKey)");
  if (this != &oKey) {
    root_ = oKey.root_;
    path_ = oKey.path_;
    access_ = oKey.access_;
    open_ = oKey.open_;
    snapshot_ = oKey.snapshot_;
  }
  return *this;
}

void JSystemRegistryKey::fail(const char* function, int code) const {
  throw JSysError(static_cast<uint32_t>(code),
                  jformat("Function=%s, key=%s\\%s", function, rootName(root_), path_.c_str()));
}

void JSystemRegistryKey::fail(const char* function, const RegistryStoreError& error) const {
  if (error.path.empty()) {
    fail(function, error.code);
  }
  const auto code = static_cast<uint32_t>(error.code);
  throw JRegistryFileError(
      code, jformat("Function=%s, key=%s\\%s", function, rootName(root_), path_.c_str()),
      error.path, error.detail.empty() ? JSysError::codeText(code) : error.detail);
}

RegistryRootFile JSystemRegistryKey::file() const {
  return RegistryRootFile(RegistryRootFile::directory(), rootName(root_));
}

void JSystemRegistryKey::open(uint32_t root, std::string_view path, uint32_t access) {
  close();
  root_ = root;
  path_ = joinPath({}, path);
  access_ = access;
  if (!knownRoot(root) || !validKeyPath(path_)) {
    fail("RegCreateKeyEx", EINVAL);
  }
  try {
    RegistryRootFile f = file();
    if (!f.read()->keyExists(path_)) {
      f.update([this](RegistryImage& image) { return image.createKey(path_); });
    }
  } catch (const RegistryStoreError& e) {
    fail("RegCreateKeyEx", e);
  }
  open_ = true;
}

void JSystemRegistryKey::openSubKey(const JSystemRegistryKey& parent, std::string_view name,
                                    uint32_t access) {
  if (!parent.open_) {
    // Named after the parent: that is the handle that was not usable.
    parent.fail("RegCreateKeyEx", EBADF);
  }
  // Copy first: `parent` may be this object, which open() closes.
  const uint32_t root = parent.root_;
  const std::string path = joinPath(parent.path_, name);
  std::shared_ptr<const RegistryImage> snapshot = parent.snapshot_;
  if (snapshot && validKeyPath(path) && snapshot->keyExists(path)) {
    close();
    root_ = root;
    path_ = path;
    access_ = access & KEY_READ;
    snapshot_ = std::move(snapshot);
    open_ = true;
    return;
  }
  open(root, path, access);
}

void JSystemRegistryKey::close() {
  open_ = false;
  access_ = 0;
  snapshot_.reset();
}

JSystemRegistryKey::JSystemRegistryKey(const JSystemRegistryKey& key,
                                       std::shared_ptr<const RegistryImage> image)
    : root_(key.root_),
      path_(key.path_),
      access_(key.access_ & KEY_READ),
      open_(true),
      snapshot_(std::move(image)) {}

JSystemRegistryKey JSystemRegistryKey::snapshot() const {
  // Built in place, not copied: a copy would be traced as one.
  return JSystemRegistryKey(*this, load(0, "RegCreateKeyEx"));
}

std::shared_ptr<const RegistryImage> JSystemRegistryKey::load(uint32_t right,
                                                              const char* function) const {
  if (!open_) {
    fail(function, EBADF);
  }
  if ((access_ & right) != right) {
    fail(function, EACCES);
  }
  std::shared_ptr<const RegistryImage> image = snapshot_;
  if (!image) {
    try {
      image = file().read();
    } catch (const RegistryStoreError& e) {
      fail(function, e);
    }
  }
  if (!image->keyExists(path_)) {
    fail(function, ENOENT);
  }
  return image;
}

bool JSystemRegistryKey::getDword(std::string_view name, uint32_t& value) const {
  auto image = load(KEY_QUERY_VALUE, "RegQueryValueEx");
  const RegistryValue* v = image->findValue(path_, name);
  if (v == nullptr) {
    return false;
  }
  if (v->kind != RegistryValue::Kind::kDword) {
    fail("RegQueryValueEx", EINVAL);
  }
  value = v->dword;
  return true;
}

bool JSystemRegistryKey::getDword(std::string_view name, int& value) const {
  uint32_t v;
  if (!getDword(name, v)) {
    return false;
  }
  value = static_cast<int>(v);
  return true;
}

bool JSystemRegistryKey::getBool(std::string_view name, bool& value) const {
  uint32_t v;
  if (!getDword(name, v)) {
    return false;
  }
  value = v != 0;
  return true;
}

bool JSystemRegistryKey::getString(std::string_view name, std::string& value) const {
  auto image = load(KEY_QUERY_VALUE, "RegQueryValueEx");
  const RegistryValue* v = image->findValue(path_, name);
  if (v == nullptr) {
    return false;
  }
  if (v->kind != RegistryValue::Kind::kString) {
    fail("RegQueryValueEx", EINVAL);
  }
  value = v->text;
  return true;
}

void JSystemRegistryKey::setDword(std::string_view name, uint32_t value) {
  RegistryValue v;
  v.name = std::string(name);
  v.kind = RegistryValue::Kind::kDword;
  v.dword = value;
  storeValue(v);
}

void JSystemRegistryKey::setString(std::string_view name, std::string_view value) {
  RegistryValue v;
  v.name = std::string(name);
  v.kind = RegistryValue::Kind::kString;
  v.text = std::string(value);
  storeValue(v);
}

void JSystemRegistryKey::storeValue(const RegistryValue& value) {
  load(KEY_SET_VALUE, "RegSetValueEx");
  // The file holds one value per line: a line break cannot be stored.
  if (value.name.find_first_of("\r\n") != std::string::npos ||
      value.text.find_first_of("\r\n") != std::string::npos) {
    fail("RegSetValueEx", EINVAL);
  }
  try {
    file().update([&](RegistryImage& image) {
      if (!image.keyExists(path_)) {
        throw RegistryStoreError{ENOENT, {}, {}};
      }
      image.setValue(path_, value);
      return true;
    });
  } catch (const RegistryStoreError& e) {
    fail("RegSetValueEx", e);
  }
}

bool JSystemRegistryKey::deleteValue(std::string_view name) {
  if (load(KEY_SET_VALUE, "RegDeleteValue")->findValue(path_, name) == nullptr) {
    return false;
  }
  bool deleted = false;
  try {
    file().update([&](RegistryImage& image) {
      deleted = image.deleteValue(path_, name);
      return deleted;
    });
  } catch (const RegistryStoreError& e) {
    fail("RegDeleteValue", e);
  }
  return deleted;
}

bool JSystemRegistryKey::deleteKey(std::string_view name) {
  const std::string sub = joinPath(path_, name);
  if (sub == path_) {
    // An empty name would delete this key itself.
    fail("RegDeleteKey", EINVAL);
  }
  if (!load(KEY_CREATE_SUB_KEY, "RegDeleteKey")->keyExists(sub)) {
    return false;
  }
  bool deleted = false;
  try {
    file().update([&](RegistryImage& image) {
      deleted = image.deleteKey(sub);
      return deleted;
    });
  } catch (const RegistryStoreError& e) {
    fail("RegDeleteKey", e);
  }
  return deleted;
}

void JSystemRegistryKey::flush() {
  if (!open_) {
    fail("RegFlushKey", EBADF);
  }
  try {
    file().sync();
  } catch (const RegistryStoreError& e) {
    fail("RegFlushKey", e);
  }
}

std::vector<std::string> JSystemRegistryKey::enumSubKeys() const {
  std::vector<std::string> names = load(KEY_ENUMERATE_SUB_KEYS, "RegQueryInfoKey")->subKeys(path_);
  for (const std::string& n : names) {
    if (n.size() > kMaxKeyNameLength) {
      // Only a hand-written file can hold such a name.
      fail("RegEnumKeyEx", ENAMETOOLONG);
    }
  }
  return names;
}

}  // namespace zq

// Object serialisation: the value names and the conversions on the way back.
#include "rpc/serialisation.h"

#include <limits>
#include <memory>
#include <utility>

#include "rpc/rpc_error.h"

namespace zq {
namespace {

// The prefix a nested member adds: "a::b<int>" + "m" gives "a00b_m__".
std::string nestedPrefix(std::string_view typeName, std::string_view member) {
  typeName = typeName.substr(0, typeName.find('<'));
  std::string prefix;
  prefix.reserve(typeName.size() + member.size() + 3);
  for (size_t i = 0; i < typeName.size(); ++i) {
    if (typeName[i] == ':' && i + 1 < typeName.size() && typeName[i + 1] == ':') {
      prefix += "00";
      ++i;
    } else {
      prefix += typeName[i];
    }
  }
  prefix += '_';
  prefix += member;
  prefix += "__";
  return prefix;
}

// Restores a prefix to its former length when a nested object is done, also
// when it throws.
class PrefixScope {
 public:
  PrefixScope(std::string& prefix, std::string_view typeName, std::string_view member)
      : prefix_(prefix), saved_(prefix.size()) {
    prefix_ += nestedPrefix(typeName, member);
  }
  ~PrefixScope() { prefix_.resize(saved_); }
  PrefixScope(const PrefixScope&) = delete;
  PrefixScope& operator=(const PrefixScope&) = delete;

 private:
  std::string& prefix_;
  size_t saved_;
};

[[noreturn]] void cannotDeserialise(
    const std::source_location& where = std::source_location::current()) {
  throw JDeserialisationError("deserialise", "cannot deserialise", where);
}

}  // namespace

JSerialisationError::JSerialisationError(std::string function, std::string message,
                                         const std::source_location& where)
    : JGenericError(std::move(message), where), function_(std::move(function)) {}

std::unique_ptr<JError> JSerialisationError::clone() const {
  return std::make_unique<JSerialisationError>(*this);
}

JDeserialisationError::JDeserialisationError(std::string function, std::string message,
                                             const std::source_location& where)
    : JGenericError(std::move(message), where), function_(std::move(function)) {}

std::unique_ptr<JError> JDeserialisationError::clone() const {
  return std::make_unique<JDeserialisationError>(*this);
}

// ---- JRPCSerialisation ----------------------------------------------------

void JRPCSerialisation::put(std::string_view name, auto value) {
  JAutoLock lock(mutex_);
  std::string fullName = prefix_ + std::string(name);
  if (params_.find(fullName, false) != nullptr) {
    throw JSerialisationError("serialise", "value '" + fullName + "' written twice");
  }
  params_.add(JVariant(fullName, value));
}

void JRPCSerialisation::serialise(const JRPCObject& object) {
  JAutoLock lock(mutex_);
  const std::string saved = std::exchange(prefix_, std::string());
  try {
    object.serialise(*this);
  } catch (...) {
    prefix_ = saved;
    throw;
  }
  prefix_ = saved;
}

void JRPCSerialisation::serialise(std::string_view name, bool value) {
  put(name, value);
}
void JRPCSerialisation::serialise(std::string_view name, int32_t value) {
  put(name, static_cast<int64_t>(value));
}
void JRPCSerialisation::serialise(std::string_view name, int64_t value) {
  put(name, value);
}
void JRPCSerialisation::serialise(std::string_view name, uint32_t value) {
  put(name, static_cast<int64_t>(value));
}
void JRPCSerialisation::serialise(std::string_view name, double value) {
  put(name, value);
}
void JRPCSerialisation::serialise(std::string_view name, std::string_view value) {
  put(name, value);
}
void JRPCSerialisation::serialise(std::string_view name, const char* value) {
  put(name, std::string_view(value != nullptr ? value : ""));
}

void JRPCSerialisation::serialise(std::string_view name, const JRPCObject& value) {
  JAutoLock lock(mutex_);
  PrefixScope scope(prefix_, value.typeName(), name);
  value.serialise(*this);
}

JParams JRPCSerialisation::takeParams() {
  JAutoLock lock(mutex_);
  JParams taken(std::move(params_));
  params_.clear();
  return taken;
}

// ---- JRPCDeserialisation --------------------------------------------------

template <typename T, typename Convert>
bool JRPCDeserialisation::read(std::string_view name, T& out, bool required, Convert convert) {
  JAutoLock lock(mutex_);
  const JVariant* value = params_.find(prefix_ + std::string(name), false);
  if (value == nullptr) {
    if (required) {
      cannotDeserialise();
    }
    return false;
  }
  try {
    out = convert(*value);
  } catch (const JRPCTypeMismatchError&) {
    cannotDeserialise();
  }
  return true;
}

void JRPCDeserialisation::deserialise(JRPCObject& object) {
  JAutoLock lock(mutex_);
  const std::string saved = std::exchange(prefix_, std::string());
  try {
    object.deserialise(*this);
  } catch (...) {
    prefix_ = saved;
    throw;
  }
  prefix_ = saved;
}

bool JRPCDeserialisation::deserialise(std::string_view name, bool& out, bool required) {
  return read(name, out, required, [](const JVariant& v) { return v.asBool(); });
}

bool JRPCDeserialisation::deserialise(std::string_view name, int32_t& out, bool required) {
  return read(name, out, required, [](const JVariant& v) { return v.asInt32(); });
}

bool JRPCDeserialisation::deserialise(std::string_view name, int64_t& out, bool required) {
  return read(name, out, required, [](const JVariant& v) { return v.asInt64(); });
}

bool JRPCDeserialisation::deserialise(std::string_view name, uint32_t& out, bool required) {
  return read(name, out, required, [](const JVariant& v) {
    const int64_t value = v.asInt64();
    if (value < 0 || value > std::numeric_limits<uint32_t>::max()) {
      cannotDeserialise();
    }
    return static_cast<uint32_t>(value);
  });
}

bool JRPCDeserialisation::deserialise(std::string_view name, double& out, bool required) {
  return read(name, out, required, [](const JVariant& v) { return v.asDouble(); });
}

bool JRPCDeserialisation::deserialise(std::string_view name, std::string& out, bool required) {
  return read(name, out, required, [](const JVariant& v) { return v.asString(); });
}

bool JRPCDeserialisation::deserialise(std::string_view name, JRPCObject& out, bool required) {
  JAutoLock lock(mutex_);
  PrefixScope scope(prefix_, out.typeName(), name);
  if (!required) {
    bool present = false;
    for (const JVariant& v : params_) {
      if (v.name().starts_with(prefix_)) {
        present = true;
        break;
      }
    }
    if (!present) {
      return false;
    }
  }
  out.deserialise(*this);
  return true;
}

}  // namespace zq

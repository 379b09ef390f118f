// Object serialisation: a JRPCObject writes its members as named values into a
// JRPCSerialisation (which fills a JParams) and reads them back from a
// JRPCDeserialisation (which reads a JParams), with jrpc_map and jrpc_vector
// for containers.
//
// Value names: a member's name, preceded while a nested object is written or
// read by that object's prefix: its type name cut before the first "<", every
// "::" replaced by "00", then "_", the member's name and "__". A member `desc`
// of type "SharedMike::MikeDesc" holding `port` gives "SharedMike00MikeDesc_desc__port".
#pragma once

#include <cstdint>
#include <map>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/format.h"
#include "base/mutex.h"
#include "rpc/params.h"

namespace zq {

class JRPCSerialisation;
class JRPCDeserialisation;

/// A failure to write an object; the message is the error's text and
/// `function` names the operation that failed.
class JSerialisationError : public JGenericError {
 public:
  JSerialisationError(std::string function, std::string message,
                      const std::source_location& where = std::source_location::current());
  std::unique_ptr<JError> clone() const override;
  const std::string& function() const { return function_; }

 private:
  std::string function_;
};

/// A value that cannot be read: function "deserialise", message "cannot
/// deserialise".
class JDeserialisationError : public JGenericError {
 public:
  JDeserialisationError(std::string function, std::string message,
                        const std::source_location& where = std::source_location::current());
  std::unique_ptr<JError> clone() const override;
  const std::string& function() const { return function_; }

 private:
  std::string function_;
};

/// The base of every class that is written as named values.
class JRPCObject {
 public:
  /// `typeName` is the class's name ("SharedMike::MikeDesc"); it prefixes the
  /// members of the object when it is nested in another.
  explicit JRPCObject(std::string typeName) : typeName_(std::move(typeName)) {}
  virtual ~JRPCObject() = default;

  /// Writes each member with out.serialise(name, value).
  virtual void serialise(JRPCSerialisation& out) const = 0;
  /// Reads each member back with in.deserialise(name, value, required).
  virtual void deserialise(JRPCDeserialisation& in) = 0;

  const std::string& typeName() const { return typeName_; }

 protected:
  JRPCObject(const JRPCObject&) = default;
  JRPCObject& operator=(const JRPCObject&) = default;
  JRPCObject(JRPCObject&&) = default;
  JRPCObject& operator=(JRPCObject&&) = default;

 private:
  std::string typeName_;
};

/// Collects the values an object writes into a JParams of its own.
///
/// Concurrency: every operation takes the instance's own mutex, and a nested
/// object is written entirely under it, so one instance may be shared; the
/// members of two top-level objects written from two threads interleave,
/// though, unless each is written with serialise(object).
class JRPCSerialisation {
 public:
  JRPCSerialisation() = default;
  JRPCSerialisation(const JRPCSerialisation&) = delete;
  JRPCSerialisation& operator=(const JRPCSerialisation&) = delete;

  /// Writes a whole object at the top level (no prefix).
  void serialise(const JRPCObject& object);

  // Each writes one value under the current prefix + `name`. Writing a name
  // twice throws JSerialisationError: the second value would silently
  // replace the first.
  void serialise(std::string_view name, bool value);
  void serialise(std::string_view name, int32_t value);
  void serialise(std::string_view name, int64_t value);
  /// Stored as a (64-bit) integer.
  void serialise(std::string_view name, uint32_t value);
  void serialise(std::string_view name, double value);
  void serialise(std::string_view name, std::string_view value);
  void serialise(std::string_view name, const char* value);
  /// A nested object: its members are written under an extended prefix.
  void serialise(std::string_view name, const JRPCObject& value);

  /// Hands over what was written and starts again empty.
  JParams takeParams();

 private:
  void put(std::string_view name, auto value);

  JMutex mutex_;
  std::string prefix_;  // guarded by mutex_
  JParams params_;      // guarded by mutex_
};

/// Reads an object's values back from a JParams, which must outlive it.
///
/// Every deserialise(name, out, required) stores the converted value and
/// returns true; when the value is absent it returns false with `out`
/// untouched, or throws JDeserialisationError when `required`. A value that
/// does not convert (the conversions of JVariant, and for uint32_t a value
/// outside 0..4294967295) throws JDeserialisationError.
///
/// Concurrency: every operation takes the instance's own mutex, and a nested
/// object is read entirely under it.
class JRPCDeserialisation {
 public:
  explicit JRPCDeserialisation(const JParams& params) : params_(params) {}
  JRPCDeserialisation(const JRPCDeserialisation&) = delete;
  JRPCDeserialisation& operator=(const JRPCDeserialisation&) = delete;

  /// Reads a whole object at the top level (no prefix).
  void deserialise(JRPCObject& object);

  bool deserialise(std::string_view name, bool& out, bool required);
  bool deserialise(std::string_view name, int32_t& out, bool required);
  bool deserialise(std::string_view name, int64_t& out, bool required);
  bool deserialise(std::string_view name, uint32_t& out, bool required);
  bool deserialise(std::string_view name, double& out, bool required);
  bool deserialise(std::string_view name, std::string& out, bool required);
  /// A nested object. It counts as present when any value lies under its
  /// prefix; when it is absent and not required, its deserialise is not
  /// called. When it is required, its own required members decide.
  bool deserialise(std::string_view name, JRPCObject& out, bool required);

 private:
  template <typename T, typename Convert>
  bool read(std::string_view name, T& out, bool required, Convert convert);

  JMutex mutex_;
  std::string prefix_;  // guarded by mutex_
  const JParams& params_;
};

/// An ordered map written as "size" and, for element i from 0, "map<i>_first"
/// (the key) and "map<i>_second" (the value).
template <typename K, typename V, typename Compare = std::less<K>>
class jrpc_map : public std::map<K, V, Compare>, public JRPCObject {
 public:
  jrpc_map() : JRPCObject("jrpc_map") {}

  void serialise(JRPCSerialisation& out) const override {
    out.serialise("size", static_cast<uint32_t>(this->size()));
    unsigned i = 0;
    for (const auto& [key, value] : *this) {
      out.serialise(jformat("map%u_first", i), key);
      out.serialise(jformat("map%u_second", i), value);
      ++i;
    }
  }

  void deserialise(JRPCDeserialisation& in) override {
    uint32_t count = 0;
    in.deserialise("size", count, true);
    this->clear();
    for (unsigned i = 0; i < count; ++i) {
      K key{};
      V value{};
      in.deserialise(jformat("map%u_first", i), key, true);
      in.deserialise(jformat("map%u_second", i), value, true);
      this->insert_or_assign(std::move(key), std::move(value));
    }
  }
};

/// A vector written as "vec<i>" for element i from 0; reading stops at the
/// first index that is absent.
template <typename T>
class jrpc_vector : public std::vector<T>, public JRPCObject {
 public:
  jrpc_vector() : JRPCObject("jrpc_vector") {}

  void serialise(JRPCSerialisation& out) const override {
    unsigned i = 0;
    for (const T& value : *this) {
      out.serialise(jformat("vec%u", i), value);
      ++i;
    }
  }

  void deserialise(JRPCDeserialisation& in) override {
    this->clear();
    for (unsigned i = 0;; ++i) {
      T value{};
      if (!in.deserialise(jformat("vec%u", i), value, false)) {
        break;
      }
      this->push_back(std::move(value));
    }
  }
};

}  // namespace zq

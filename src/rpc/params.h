// JParams: a set of named values ordered by name, with the parameter text
// form that every RPC request, every answer and every host parameter string
// is written in ("a=1, b=\"x\"").
//
// Concurrency: no lock; one thread uses a JParams at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "rpc/variant.h"

namespace zq {

class JParams {
 public:
  JParams() = default;
  virtual ~JParams() = default;

  // Moving takes the values over (each stays the same object) and leaves the
  // source with nothing a look-up finds; the source is only to be cleared or
  // destroyed afterwards. Copies are not offered: values are moved between
  // lists, never duplicated.
  JParams(JParams&& other);
  JParams& operator=(JParams&& other);
  JParams(const JParams&) = delete;
  JParams& operator=(const JParams&) = delete;

  /// Takes ownership of `variant` and clears its next pointer. An entry of the
  /// same name is deleted and replaced. A null pointer is ignored.
  void add(std::unique_ptr<JVariant> variant);
  /// The same with the value moved in.
  void add(JVariant&& variant);

  // Build a variant and add it. 32-bit integers are stored as integers.
  void set(std::string_view name, bool value);
  void set(std::string_view name, int32_t value);
  void set(std::string_view name, int64_t value);
  void set(std::string_view name, double value);
  void set(std::string_view name, std::string_view value);
  void set(std::string_view name, const char* value);
  void set(std::string_view name, const uint8_t* data, size_t length);

  /// The value of that name, or null. Throws JRPCMissingParameterError when
  /// the name is absent and `required` is true.
  const JVariant* find(std::string_view name, bool required) const;
  JVariant* find(std::string_view name, bool required);

  // Stores the converted value and returns true. When the name is absent:
  // returns false with `out` untouched, or throws JRPCMissingParameterError
  // when `required`. Throws JRPCTypeMismatchError when the value does not
  // convert (the conversions of JVariant).
  bool get(std::string_view name, bool& out, bool required) const;
  bool get(std::string_view name, int32_t& out, bool required) const;
  bool get(std::string_view name, int64_t& out, bool required) const;
  bool get(std::string_view name, double& out, bool required) const;
  bool get(std::string_view name, std::string& out, bool required) const;
  bool get(std::string_view name, std::vector<uint8_t>& out, bool required) const;

  /// Parses a parameter list ("name=value, ..."; see params.cpp for the
  /// grammar) and adds its values in order, a later duplicate replacing an
  /// earlier one. The text ends at its end or at its first NUL byte. Returns
  /// the offset at which the list ended (what follows, such as a request's
  /// closing ")", is left to the caller); for a text that is empty, all
  /// blanks, or starts with ")" after blanks, adds nothing and returns the
  /// number of blanks. Throws JRPCProtocolError (codes -5 to -10); the list
  /// is then unchanged.
  size_t parse(std::string_view text);

  /// An upper bound of the written text's length; a buffer of textLength() + 1
  /// bytes holds the text and a NUL.
  size_t textLength() const;

  /// Writes every entry in name order, `separator` and a blank between two
  /// entries; no NUL. Returns the number of bytes written.
  size_t write(char* buffer, char separator) const;
  std::string toString(char separator = ',') const;

  void clear() { entries_.clear(); }

  /// The number of entries.
  size_t size() const;
  bool empty() const { return size() == 0; }

  /// Iterates the values in name order.
  class const_iterator;
  const_iterator begin() const;
  const_iterator end() const;

 private:
  // Byte-wise comparison of unsigned bytes; a prefix sorts first.
  struct NameLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  // A value lives in its map node: one allocation per entry.
  using Map = std::map<std::string, JVariant, NameLess>;

  Map entries_;

 public:
  class const_iterator {
   public:
    using value_type = JVariant;
    using reference = const JVariant&;
    using pointer = const JVariant*;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::forward_iterator_tag;

    const_iterator() = default;
    reference operator*() const { return it_->second; }
    pointer operator->() const { return &it_->second; }
    const_iterator& operator++() {
      ++it_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const const_iterator& other) const { return it_ == other.it_; }

   private:
    friend class JParams;
    explicit const_iterator(Map::const_iterator it) : it_(it) {}
    Map::const_iterator it_;
  };
};

inline JParams::const_iterator JParams::begin() const {
  return const_iterator(entries_.begin());
}
inline JParams::const_iterator JParams::end() const {
  return const_iterator(entries_.end());
}

}  // namespace zq

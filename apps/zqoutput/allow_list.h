// Who may: a list of IPv4 addresses and CIDR blocks ("127.0.0.1,
// 10.20.0.0/16"), for the controls allowed to connect and the access
// managers a stream may be fetched from.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace zq::zqoutput {

/// An empty list allows everyone.
///
/// Concurrency: const after parsing; any thread may ask.
class AllowList {
 public:
  /// Entries separated by commas or blanks: an address ("192.0.2.7") or a
  /// block ("192.0.2.0/24", host bits clear). The list, or why it is
  /// refused ("'10.0.0.1/33' is not an address or a block (a.b.c.d or
  /// a.b.c.d/n)").
  static std::variant<AllowList, std::string> parse(const std::string& text);

  bool everyone() const { return blocks_.empty(); }
  /// `address` in network byte order.
  bool allows(in_addr address) const;
  /// The entries as given, joined by ", ".
  std::string text() const;

 private:
  struct Block {
    uint32_t network;  // host byte order
    uint32_t mask;
    std::string text;
  };
  std::vector<Block> blocks_;
};

}  // namespace zq::zqoutput

// The allow list: parsing and matching.
#include "zqoutput/allow_list.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>

namespace zq::zqoutput {

std::variant<AllowList, std::string> AllowList::parse(const std::string& text) {
  AllowList list;
  size_t at = 0;
  while (at < text.size()) {
    const size_t begin = text.find_first_not_of(", \t", at);
    if (begin == std::string::npos) {
      break;
    }
    const size_t end = std::min(text.find_first_of(", \t", begin), text.size());
    const std::string entry = text.substr(begin, end - begin);
    at = end;
    const size_t slash = entry.find('/');
    const std::string address = entry.substr(0, slash);
    in_addr parsed{};
    long bits = 32;
    bool good = inet_pton(AF_INET, address.c_str(), &parsed) == 1;
    if (good && slash != std::string::npos) {
      const std::string length = entry.substr(slash + 1);
      char* stop = nullptr;
      bits = std::strtol(length.c_str(), &stop, 10);
      good = !length.empty() && length.size() <= 2 && *stop == '\0' && bits >= 0 && bits <= 32;
    }
    if (!good) {
      return "'" + entry + "' is not an address or a block (a.b.c.d or a.b.c.d/n)";
    }
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
    const uint32_t network = ntohl(parsed.s_addr);
    if ((network & ~mask) != 0) {
      // 10.1.2.3/16 is most likely a typing slip: say so rather than guess.
      return "'" + entry + "' has host bits set: the block is written with them clear";
    }
    list.blocks_.push_back({network, mask, entry});
  }
  return list;
}

bool AllowList::allows(in_addr address) const {
  if (blocks_.empty()) {
    return true;
  }
  const uint32_t host = ntohl(address.s_addr);
  for (const Block& b : blocks_) {
    if ((host & b.mask) == b.network) {
      return true;
    }
  }
  return false;
}

std::string AllowList::text() const {
  std::string out;
  for (const Block& b : blocks_) {
    out += (out.empty() ? "" : ", ") + b.text;
  }
  return out;
}

}  // namespace zq::zqoutput

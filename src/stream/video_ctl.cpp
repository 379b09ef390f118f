// The command grammar of the stream objects' control interface.
#include "stream/video_ctl.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace zq {
namespace {

constexpr size_t kMaxNameAndValue = 255;

}  // namespace

int parseControlCommand(const char* command, std::string_view prefix, JControlCommand& out) {
  if (command == nullptr) {
    return VideoCtl::kMalformed;
  }
  const std::string_view text(command);
  if (!text.starts_with(prefix) || text.size() == prefix.size() || text[prefix.size()] != '.') {
    return VideoCtl::kNotMine;
  }
  const std::string_view rest = text.substr(prefix.size() + 1);
  const size_t end = rest.find_first_of("?=");
  if (end == std::string_view::npos || end == 0 || end > kMaxNameAndValue) {
    return VideoCtl::kMalformed;
  }
  out.name = rest.substr(0, end);
  if (rest[end] == '?') {
    if (end + 1 != rest.size()) {
      return VideoCtl::kMalformed;
    }
    out.query = true;
    out.value = {};
    return VideoCtl::kDone;
  }
  if (rest.size() - 1 > kMaxNameAndValue) {
    return VideoCtl::kMalformed;
  }
  out.query = false;
  out.value = rest.substr(end + 1);
  return VideoCtl::kDone;
}

bool parseControlInt(std::string_view value, int& out) {
  const char* first = value.data();
  const char* last = first + value.size();
  if (first != last && *first == '+') {
    ++first;
  }
  int parsed = 0;
  const auto [end, error] = std::from_chars(first, last, parsed);
  if (error != std::errc() || end != last || first == last) {
    return false;
  }
  out = parsed;
  return true;
}

int answerControlInt(int value, char* answer, size_t answerSize) {
  if (answer == nullptr || answerSize == 0) {
    return VideoCtl::kMalformed;
  }
  const int written = std::snprintf(answer, answerSize, "%d", value);
  if (written < 0 || static_cast<size_t>(written) >= answerSize) {
    answer[0] = '\0';
    return VideoCtl::kMalformed;
  }
  return VideoCtl::kDone;
}

}  // namespace zq

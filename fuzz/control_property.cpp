// The control interface's property: results, answers and buffer counts
// checked against an independent reading of the command grammar.
#include "control_property.h"

#include <cstring>
#include <string>
#include <string_view>

#include "stream/stream.h"

namespace zq::fuzz {
namespace {

constexpr int kNbuf = 5;
constexpr int kFixed = 2;  // the extra buffer and the writer's own

int buffersOf(const JStreamTable* table) {
  int count = 0;
  for (int i = 0; i < table->entriesInUse.load(); ++i) {
    count += table->entries[i].data() != nullptr ? 1 : 0;
  }
  return count;
}

// What the command should do, read from the grammar independently of the
// parser: -3, -5, or 0 with the query flag and value.
struct Expected {
  int result;
  bool query = false;
  long value = 0;
};

Expected expect(std::string_view text) {
  constexpr std::string_view kPrefix = "JStream.";
  if (!text.starts_with(kPrefix)) {
    return {-3};
  }
  const std::string_view rest = text.substr(kPrefix.size());
  size_t end = 0;
  while (end < rest.size() && rest[end] != '?' && rest[end] != '=') {
    ++end;
  }
  if (end == rest.size() || end == 0 || end > 255) {
    return {-5};
  }
  if (rest[end] == '?') {
    if (end + 1 != rest.size()) {
      return {-5};
    }
    return rest.substr(0, end) == "queue" ? Expected{0, true} : Expected{-3};
  }
  if (rest.size() - 1 > 255) {
    return {-5};
  }
  if (rest.substr(0, end) != "queue") {
    return {-3};
  }
  std::string_view value = rest.substr(end + 1);
  if (!value.empty() && value[0] == '+') {
    value.remove_prefix(1);
  }
  const bool negative = !value.empty() && value[0] == '-';
  if (negative) {
    value.remove_prefix(1);
  }
  if (value.empty()) {
    return {-5};
  }
  while (value.size() > 1 && value[0] == '0') {
    value.remove_prefix(1);
  }
  if (value.size() > 12) {
    return {-5};
  }
  long number = 0;
  for (char c : value) {
    if (c < '0' || c > '9') {
      return {-5};
    }
    number = number * 10 + (c - '0');
  }
  if (negative && number != 0) {
    return {-5};
  }
  if (number > JS_MAXBUF) {
    return {-5};
  }
  return {0, false, number};
}

}  // namespace

std::string checkControlProperty(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  JStream stream(64, kNbuf, false, 1, true);
  constexpr size_t kAnswer = 16;
  char answer[kAnswer + 8];
  std::memset(answer, 'G', sizeof answer);
  const int result = stream.control(text.c_str(), answer, kAnswer);
  for (size_t i = kAnswer; i < sizeof answer; ++i) {
    if (answer[i] != 'G') {
      return "written past the answer";
    }
  }
  const int queue = stream.table()->queueLength.load();
  const int buffers = buffersOf(stream.table());
  const Expected expected = expect(text);
  if (result == 0 && expected.query && std::memchr(answer, '\0', kAnswer) == nullptr) {
    return "answer not terminated";
  }
  if (result == -1) {
    // Only additions beyond the table's 200 entries fail.
    if (expected.result != 0 || expected.query || expected.value + kFixed <= JS_MAXBUF) {
      return "-1 for a command that fits: " + text;
    }
    return buffers == JS_MAXBUF ? "" : "a failed setting left " + std::to_string(buffers);
  }
  if (result != expected.result) {
    return "result " + std::to_string(result) + " instead of " + std::to_string(expected.result) +
           " for: " + text;
  }
  if (result != 0 || expected.query) {
    if (queue != kNbuf || buffers != kNbuf + kFixed) {
      return "a command that changes nothing changed the queue: " + text;
    }
    if (result == 0 && std::string(answer) != std::to_string(kNbuf)) {
      return "query answered '" + std::string(answer) + "'";
    }
    return "";
  }
  if (queue != expected.value || buffers != queue + kFixed) {
    return "queue " + std::to_string(queue) + " with " + std::to_string(buffers) +
           " buffers after: " + text;
  }
  return "";
}

}  // namespace zq::fuzz

// VideoCtl: the text command interface of every stream object
// ("JStream.queue=5", "NetCam.timeout_ms?"), and the one parser of its
// command grammar that every implementation shares.
#pragma once

#include <cstddef>
#include <string_view>

namespace zq {

class VideoCtl {
 public:
  /// Results of control().
  static constexpr int kDone = 0;
  static constexpr int kNotMine = -3;
  static constexpr int kMalformed = -5;

  virtual ~VideoCtl() = default;

  /// Runs `command`: a query ("Prefix.name?") writes its answer into
  /// `answer` (`answerSize` bytes, always terminated), a setting
  /// ("Prefix.name=value") changes the object. 0 done, -3 not this object's
  /// command (nobody took it), -5 malformed; nothing changes on -3 or -5.
  virtual int control(const char* command, char* answer, size_t answerSize) = 0;
};

/// A command taken apart by parseControlCommand.
struct JControlCommand {
  std::string_view name;
  bool query = false;
  std::string_view value;  // empty for a query
};

/// Parses `command` for the object of `prefix`: -3 when it does not begin
/// with the prefix and "."; -5 when the rest is not a name of 1 to 255
/// characters followed by "?" and nothing else, or by "=" and a value (name
/// and value together at most 255 characters); otherwise 0 with `out` set.
int parseControlCommand(const char* command, std::string_view prefix, JControlCommand& out);

/// Reads a whole decimal integer setting (as "%d" would write it); false
/// when the value is not one.
bool parseControlInt(std::string_view value, int& out);

/// Writes `value` with "%d" into a control answer; -5 when there is no room.
int answerControlInt(int value, char* answer, size_t answerSize);

}  // namespace zq

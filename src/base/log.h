// JLog, the process-wide logging facility, and JTraceableObject, the base of
// objects with their own trace switches.
//
// Every record goes through JLog::log: a level (1..22), a message, the source
// file and line, a category and, optionally, the traceable object on whose
// behalf it is written. The outputs are built lazily from the registry key
// HKEY_LOCAL_MACHINE\SOFTWARE\Quorvanta\Log on the first record. Levels 1..12
// pass by each output's level mask; levels 13..22 pass only for a traceable
// object whose own mask has the level's bit set.
//
// Concurrency: every entry point may be called from any thread; all records
// serialise on one global lock. Logging never throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/format.h"

namespace zq {

enum JLogLevel : int {
  kLevelFullDebug = 1,
  kLevelActiveX = 2,
  kLevelDebug = 3,
  kLevelTrace = 4,
  kLevelTraceAction = 5,
  kLevelTraceRunning = 6,
  kLevelTraceStepByStep = 7,
  kLevelInfo = 8,
  kLevelWarning = 9,
  kLevelException = 10,
  kLevelError = 11,
  kLevelCritical = 12,
  kLevelObjectDebug = 13,
  kLevelObjectException = 14,
  kLevelTraceInfo = 15,
  kLevelTraceComport = 16,
  kLevelTraceFile = 17,
  kLevelTraceNetwork = 18,
  kLevelTraceStats = 19,
  kLevelTraceRegistry = 20,
  kLevelTraceRpc = 21,
  kLevelTraceDriver = 22,
};

/// A trace mask: bit n enables level n for one object (levels 13..22), and
/// the low bits are object-specific switches (0x2, 0x4, 0x8 ...) for lines
/// written at level 4. Owned by the object's owner; may be changed at any time
/// from any thread.
using JTraceMask = std::atomic<uint32_t>;

/// An object with a name and its own trace mask, entered by name in a
/// process-wide registry for its whole life.
///
/// Concurrency: the name and mask pointer may be changed while other threads
/// log on the object's behalf; the registry has its own lock.
class JTraceableObject {
 public:
  /// Without a name, the name is "[%p]" with the object's address. `mask` may
  /// be null: the object then has no trace mask and writes no level 13..22.
  explicit JTraceableObject(std::string_view name = {}, JTraceMask* mask = nullptr);
  virtual ~JTraceableObject();
  JTraceableObject(const JTraceableObject&) = delete;
  JTraceableObject& operator=(const JTraceableObject&) = delete;

  std::string traceName() const;
  void setTraceName(std::string_view name);
  JTraceMask* traceMask() const { return mask_.load(std::memory_order_acquire); }
  void setTraceMask(JTraceMask* mask) { mask_.store(mask, std::memory_order_release); }
  uint64_t traceSequence() const { return sequence_; }

  /// True when the object's mask has any of `bits` set.
  bool traceEnabled(uint32_t bits) const;

  /// Writes a record at level 4 on behalf of this object when its mask has any
  /// of `bits` set (the object-specific switches 0x2, 0x4, 0x8 ...).
  void trace(uint32_t bits, const char* format, ...) const ZQ_PRINTF(3, 4);

  // The process-wide registry.
  struct Entry {
    std::string name;
    uint32_t mask;
    uint64_t sequence;
  };
  /// Sets the mask of every object with this name; false when there is none
  /// or none has a mask.
  static bool setMaskOf(std::string_view name, uint32_t mask);
  /// The mask of the first object with this name; 0 when absent.
  static uint32_t maskOf(std::string_view name);
  static std::vector<Entry> list();

 private:
  friend class JLog;
  std::string name_;  // guarded by the registry lock
  std::atomic<JTraceMask*> mask_;
  uint64_t sequence_;
};

/// A receiver of records of an "InProcess" output, registered by id.
class JInProcessLogReceiver {
 public:
  virtual ~JInProcessLogReceiver() = default;
  /// Called under the logging lock with the formatted record: must not block.
  virtual void write(int level, const std::string& record, const std::string& file, int line) = 0;
};

class JLog {
 public:
  /// Initialisation flags.
  enum : unsigned {
    /// Add a console output (levels 3..8, 10, 11) when none is configured.
    kDefaultConsole = 0x1,
  };

  /// The one entry point. `file`, `category` and `object` may be null.
  static void log(int level, std::string_view message, const char* file, int line,
                  const char* category, const JTraceableObject* object);
  /// Formats (at most 2 047 characters) and logs with no file, line 0, no
  /// category and no object.
  static void logf(int level, const char* format, ...) ZQ_PRINTF(2, 3);
  /// logf on behalf of a traceable object.
  static void logTraceable(int level, const JTraceableObject* object, const char* format, ...)
      ZQ_PRINTF(3, 4);
  /// logf at level 3.
  static void debugf(const char* format, ...) ZQ_PRINTF(1, 2);

  /// Destroys every output; the next record initialises the facility again.
  static void shutdown();
  /// Destroys the outputs and builds them again at once with `flags`.
  static void reinitialise(unsigned flags);
  /// Flags used by the lazy initialisation (0 unless a program sets them).
  static void setDefaultFlags(unsigned flags);
  /// The levels (bit n: level n) of the console output kDefaultConsole adds;
  /// levels 3 to 8, 10 and 11 unless a program sets them.
  static void setDefaultConsoleMask(uint32_t mask);

  /// In-process receivers, by the id an "InProcess" output names. The
  /// receiver must stay alive until it is unregistered.
  static void registerReceiver(std::string_view id, JInProcessLogReceiver* receiver);
  static void unregisterReceiver(std::string_view id);

  /// The name of the calling thread as its JThread registered it ("" when
  /// none), and the registration itself.
  static std::string currentThreadName();
  static void setCurrentThreadName(std::string_view name);
};

}  // namespace zq

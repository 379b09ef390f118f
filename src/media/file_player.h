// FilePlayer: one audio file played as a stream in real time. A thread reads
// the file's frames (files/file_info.h) and publishes each at its own time
// stamp from the start of the play, until the end of the file, which it
// signals on a manual-reset flag. The file source opens one per file of its
// list.
//
// Concurrency: construction, seek, play, pause, resume and destruction are
// the owner's; the end flag, the position and readers of the stream may be
// used from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/thread.h"
#include "base/waitable.h"
#include "files/file_info.h"
#include "stream/stream.h"

namespace zq {

class FilePlayer : public JStream, public JThread {
 public:
  static constexpr int kBuffers = 5;
  static constexpr int kExtraBuffers = 1;

  /// Opens `fileName` for playing. Throws JTextError "unsupported file
  /// type" for a file of no type read here, and the errors of the file
  /// cache and inputs (an uninitialised cache, a file that cannot be read).
  explicit FilePlayer(const std::string& fileName);
  /// Stops the thread.
  ~FilePlayer() override;

  /// Moves to `offset` (a frame number) when it is not 0, else to `seconds`
  /// from the start. Before play() only.
  void seek(double seconds, int64_t offset);
  /// Starts playing from the current position.
  void play();
  /// Holds the frames where they are; resume() goes on from there.
  void pause();
  void resume();

  /// Set once the last frame was published.
  JFlag& endOfFile() { return end_; }
  /// Seconds from the file's start of the last frame published.
  double position() const;
  /// The number of the last frame published (-1 before the first).
  int64_t frameNumber() const { return frame_.load(std::memory_order_acquire); }
  /// Frames in the file.
  int64_t frameCount() const;
  const std::string& fileName() const { return fileName_; }

 protected:
  void run() override;

 private:
  FilePlayer(const std::string& fileName, FileInfoHold info);
  static size_t bufferSizeOf(const FileInfoHold& info);
  // Waits until `dueUs` of the monotonic clock or a stop; false on a stop.
  bool waitUntil(int64_t dueUs);

  const std::string fileName_;
  FileInfoHold info_;
  std::unique_ptr<FileInput> input_;
  JFlag stop_{true, false};
  JFlag end_{true, false};
  std::atomic<bool> paused_{false};
  std::atomic<int64_t> frame_{-1};
  std::atomic<int64_t> frameTimeUs_{0};
  int64_t startTimeUs_ = 0;
};

}  // namespace zq

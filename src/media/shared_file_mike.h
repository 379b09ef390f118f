// SharedFileMike: a list of audio files played in turn as one shared source.
// A thread watches the player of the current file; at its end every user
// hears linkDown ("EOF"), and then linkUp with the next file's stream, or,
// after the last file of a list that does not loop, the finished event is
// set and the thread ends. Unlike the other sources, these callbacks run
// without the stream mutex held: a user may take its own locks in them and
// reach back into the source for its stream or description.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/thread.h"
#include "base/waitable.h"
#include "media/file_player.h"
#include "media/shared_mike.h"

namespace zq {

class SharedFileMike : public SharedMike, public JThread {
 public:
  /// How often the thread looks at the player's end (ms).
  static constexpr int kPollMs = 100;

  /// Splits the description's comma-separated list (trailing commas
  /// dropped) and creates the finished event.
  SharedFileMike(const MikeDesc& desc, uint32_t debugFlags, std::string_view traceName);
  ~SharedFileMike() override;

  /// The first user's open plays the current file (the player's errors
  /// propagate, no user is recorded).
  void open(int32_t& userId, LinkNotifier* callback, uint32_t context, uint32_t word1,
            uint32_t word2, bool noCallback) override;
  int close(int32_t& userId) override;
  /// With the playing state of the current file and the list rotated to
  /// start at it.
  MikeDesc getDesc() const override;
  void pause() override;
  void resume() override;

  const std::vector<std::string>& files() const { return files_; }
  /// Set when a list without looping has been played to its end.
  JFlag& finished() { return *finished_; }

 protected:
  void run() override;

 private:
  // Under streamMutex_.
  void openPlayer();
  void stopThread();
  // One look at the player: false when the thread is to end.
  bool advanceIfEnded();

  std::vector<std::string> files_;
  std::unique_ptr<JFlag> finished_;
  std::unique_ptr<FilePlayer> player_;  // guarded by streamMutex_
  size_t index_ = 0;                    // guarded by streamMutex_
  JFlag stop_{true, false};
  // Held while the users hear of a file's end and start, and while a user
  // comes or goes; taken before streamMutex_. The users' callbacks run
  // with it held, without streamMutex_.
  std::mutex notifyMutex_;
  bool running_ = false;  // guarded by usersMutex_
};

}  // namespace zq

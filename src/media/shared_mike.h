// SharedMike: an audio source that several users read at once, and the
// process-wide registry that shares sources between users asking for equal
// descriptions. Each kind of source is a subclass (shared_hard_mike.h,
// shared_net_mike.h, shared_file_mike.h, shared_soft_mike.h); acquire makes
// the right one.
//
// Concurrency: acquire and release serialise on the registry's mutex; each
// source guards its users (open, close, update) with its users mutex and its
// stream with its stream mutex. Users' callbacks run on the caller's thread
// of open, or on the source's own thread (file, network), with the stream
// mutex held: a callback must not call back into the source.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/log.h"
#include "media/link_notifier.h"
#include "media/mike_desc.h"
#include "stream/stream.h"
#include "stream/stream_info.h"

namespace zq {

class SharedMike : public JTraceableObject {
 public:
  using MikeDesc = zq::MikeDesc;

  /// The source registered under a description equal to `desc` (offered
  /// `desc` through update), or a new one; its use count goes up by one.
  /// Throws JTextError "invalid mike type" and the creation errors of the
  /// kinds; nothing is registered then. Any thread.
  static SharedMike* acquire(const MikeDesc& desc);
  /// Lowers the use count of a registered source and deletes it at zero.
  /// Returns whether it was deleted. Any thread.
  static bool release(SharedMike* mike);
  /// How many sources are registered now.
  static size_t registeredCount();

  /// The 96-byte MP3 description of a stream at `bitRate`; JTextError
  /// "unsupported MP3 bitrate" for a rate outside the table.
  static std::unique_ptr<StreamInfo> makeMp3StreamInfo(uint32_t bitRate);

  ~SharedMike() override;
  SharedMike(const SharedMike&) = delete;
  SharedMike& operator=(const SharedMike&) = delete;

  /// A copy of the stream's description, or null.
  virtual std::unique_ptr<StreamInfo> getStreamInfo() const;
  virtual MikeDesc getDesc() const;
  virtual void update(const MikeDesc& desc);
  /// Whether the source has a stream now.
  virtual bool isOpen() const;
  virtual bool isRemote() const { return false; }
  virtual void pause() {}
  virtual void resume() {}
  /// A text command for the source; the reply (empty when the kind has none).
  virtual std::string control(std::string_view command);
  virtual void setUserContext(int32_t userId, uint32_t context);
  virtual uint32_t getUserContext(int32_t userId) const;

  /// Adds a user: `userId` receives a new id, the source starts for its
  /// first user, and unless `noCallback` `callback` (not owned; kept until
  /// the user's close) hears linkUp with the stream, or linkDown without
  /// one. Start errors propagate and record no user.
  virtual void open(int32_t& userId, LinkNotifier* callback, uint32_t context, uint32_t word1,
                    uint32_t word2, bool noCallback) = 0;
  /// Removes the user `userId` (set to -1), stops the source after the last
  /// one; returns the number of users left.
  virtual int close(int32_t& userId) = 0;

  /// The stream now (may be null); valid until the next close or link event.
  JStream* stream() const;
  size_t userCount() const;
  int useCount() const;

  /// Keeps a copy of `error` for users to read back.
  void storeError(const JError& error);
  /// A JSysError with the code and text of the stored error, or null.
  std::unique_ptr<JSysError> lastError() const;

 protected:
  SharedMike(const MikeDesc& desc, uint32_t debugFlags, std::string_view traceName);

  struct User {
    LinkNotifier* notifier;  // not owned
    uint32_t context;
  };

  /// The next user id of the process (1, 2, ...).
  static int32_t newUserId();
  /// Tells `user` about `stream`: linkUp with it, linkDown without.
  static void tell(const User& user, JStream* stream);
  /// Records user `id` and gives it to the caller; unless `noCallback`, tells
  /// it the stream now. With usersMutex_ held.
  void addUserLocked(int32_t id, int32_t& userId, const User& user, bool noCallback);
  /// Forgets the user (its id set to -1); the number of users left. With
  /// usersMutex_ held.
  int removeUserLocked(int32_t& userId);

  std::map<int32_t, User> users_;  // guarded by usersMutex_
  mutable std::mutex usersMutex_;
  mutable std::mutex streamMutex_;
  JStream* stream_ = nullptr;  // guarded by streamMutex_; owned by the subclass
  MikeDesc desc_;              // guarded by streamMutex_
  // The trace mask of this source, from "SharedMikeDebugFlags".
  JTraceMask mask_;

 private:
  friend struct SharedMikeRegistry;

  std::unique_ptr<JError> error_;  // guarded by errorMutex_
  mutable std::mutex errorMutex_;
  int useCount_ = 0;  // guarded by useMutex_
  mutable std::mutex useMutex_;
};

}  // namespace zq

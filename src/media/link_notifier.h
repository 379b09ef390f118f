// LinkNotifier: how a user of a media source hears that the source's stream
// came or went. The server controller tells its leaves, the shared sources
// tell their users, the media objects tell the local access manager.
#pragma once

#include <cstdint>

#include "base/error.h"
#include "stream/stream.h"

namespace zq {

/// A callback interface: the caller keeps the notifier's lifetime; nobody
/// deletes an object through it (hence the protected destructor).
///
/// Concurrency: the caller says on which thread and under which of its locks
/// the operations run; a notifier must not call back into its caller from
/// them.
class LinkNotifier {
 public:
  /// The stream is gone. `reason` (may be null) is the caller's and only
  /// valid during the call. Answering false asks the caller to drop this
  /// registration.
  virtual bool linkDown(const JError* reason, uint32_t context) = 0;

  /// The stream is there (may be null when the caller has no stream to
  /// give). It stays valid until the next linkDown.
  virtual void linkUp(JStream* stream, uint32_t context) = 0;

 protected:
  LinkNotifier() = default;
  LinkNotifier(const LinkNotifier&) = default;
  LinkNotifier& operator=(const LinkNotifier&) = default;
  ~LinkNotifier() = default;
};

}  // namespace zq

// StreamFanOut: room for any number of readers of one stream. A stream has
// reader slots for 31 readers (stream_table.h); a provider may have a sucker
// per receiver and more receivers than that. Readers attach to the stream
// itself while it has slots to spare, then to relays: streams that copy
// every frame of the stream (or of the relay before them) as it is
// published, header, key and time stamp included, so that a reader cannot
// tell a relay from its source.
#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "base/thread.h"
#include "stream/stream.h"
#include "stream/stream_client.h"

namespace zq {

/// Concurrency: attach and detach from any thread, serialised by the fan
/// out's mutex; a reader must be idle (not inside a read) while it is
/// attached or detached. The source stream must outlive the readers
/// attached through the fan-out.
class StreamFanOut {
 public:
  /// Slots every stream of a chain keeps free beyond those taken by
  /// readers: one for the relay after it, one for a reader from elsewhere.
  static constexpr size_t kReservedSlots = 2;
  /// The queue of each relay stream, in frames.
  static constexpr int kRelayBuffers = 5;

  StreamFanOut();
  /// Stops every relay; every reader must have been detached.
  ~StreamFanOut();
  StreamFanOut(const StreamFanOut&) = delete;
  StreamFanOut& operator=(const StreamFanOut&) = delete;

  /// Attaches `reader` to `source` (null: detaches it), or to a relay of it,
  /// with listenNew semantics: the first frame read is the newest. Throws
  /// the stream's errors when a relay cannot be made.
  void attach(StreamClient& reader, JStream* source);
  /// Detaches `reader` and removes the relays nobody reads any longer.
  void detach(StreamClient& reader);

  /// Relays running now, over all sources.
  size_t relayCount() const;

 private:
  class Relay;

  // The readers a stream of the chain may take before the next one is used.
  static bool hasRoom(const JStream& stream);
  // Under mutex_: deletes relays from the end of each chain while nobody
  // reads them.
  void pruneLocked();

  mutable std::mutex mutex_;
  // Per source stream, its relays in chain order.
  std::map<JStream*, std::vector<std::unique_ptr<Relay>>> chains_;  // guarded by mutex_
};

}  // namespace zq

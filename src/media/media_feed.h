// MediaFeed: how a channel gets a media's frames. A tap on the media when it
// can be tapped (the frames come on the thread that publishes them), else a
// sucker thread that reads them; the provider's channels hold one each.
#pragma once

#include <memory>

#include "media/media.h"

namespace zq {

/// Concurrency: start and stop from the owner's thread, never from a thread
/// that publishes to the fed media, serialised by the owner (its channel
/// mutex); tapped may be read by the feeding thread too. The channel's
/// onFrame runs on the publishing thread (tap) or the sucker thread.
class MediaFeed {
 public:
  MediaFeed() = default;
  /// Ends the feed, a frame under way first.
  ~MediaFeed();
  MediaFeed(const MediaFeed&) = delete;
  MediaFeed& operator=(const MediaFeed&) = delete;

  /// Feeds `channel` from `media` from its next frame on: a tap, else a
  /// started sucker thread. Nothing when a feed runs already or `media` is
  /// null. The errors of the media propagate, leaving no feed.
  void start(IProviderMedia* media, IMediaSuckerNotify* channel);
  /// Ends the feed; once it returns, nothing more reaches the channel.
  void stop();
  bool running() const { return tap_ != nullptr || sucker_ != nullptr; }
  /// Whether the frames come on the publishing thread. Settled before the
  /// first frame reaches the channel, so that its onFrame may ask: a channel
  /// must never sleep on a thread that captures.
  bool tapped() const { return tapped_; }
  /// The sucker thread, when the media could not be tapped (else null).
  IMediaSucker* sucker() const { return sucker_.get(); }

 private:
  std::unique_ptr<IMediaTap> tap_;
  std::unique_ptr<IMediaSucker> sucker_;
  // Written while no feed runs, before the one it describes starts.
  bool tapped_ = false;
};

}  // namespace zq

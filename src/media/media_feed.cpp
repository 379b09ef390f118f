// MediaFeed: a tap on the media, or a sucker thread where there is none.
#include "media/media_feed.h"

#include "base/error.h"

namespace zq {

MediaFeed::~MediaFeed() {
  stop();
}

void MediaFeed::start(IProviderMedia* media, IMediaSuckerNotify* channel) {
  if (running() || media == nullptr) {
    return;
  }
  // Said before the tap exists: its first frame may come before createTap
  // has returned.
  tapped_ = true;
  try {
    tap_ = media->createTap(channel);
    if (tap_ == nullptr) {
      tapped_ = false;
      // The flags word and skip mean something to one video stream type only.
      sucker_ = media->createSucker(channel, SuckerParams{});
      if (sucker_ == nullptr) {
        throw JTextError("the media gives neither a tap nor a sucker");
      }
      sucker_->startSucker();
    }
  } catch (...) {
    stop();
    throw;
  }
}

void MediaFeed::stop() {
  // Their destruction ends them; a frame being handed over ends first.
  tap_.reset();
  sucker_.reset();
}

}  // namespace zq

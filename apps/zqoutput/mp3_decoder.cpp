// MP3 decoding through libmpg123.
#include "zqoutput/mp3_decoder.h"

#include <mpg123.h>

#include <string>

#include "base/error.h"

namespace zq::zqoutput {

Mp3Decoder::Mp3Decoder() {
  open();
}

void Mp3Decoder::open() {
  int status = MPG123_OK;
  handle_ = mpg123_new(nullptr, &status);
  if (handle_ == nullptr || mpg123_param(handle_, MPG123_ADD_FLAGS, MPG123_QUIET, 0) != MPG123_OK ||
      mpg123_format_none(handle_) != MPG123_OK) {
    mpg123_delete(handle_);
    handle_ = nullptr;
    throw JTextError("cannot set up the MP3 decoder: " +
                     std::string(mpg123_plain_strerror(status)));
  }
  for (long rate : {8000L, 11025L, 12000L, 16000L, 22050L, 24000L, 32000L, 44100L, 48000L}) {
    mpg123_format(handle_, rate, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  }
  if (mpg123_open_feed(handle_) != MPG123_OK) {
    mpg123_delete(handle_);
    handle_ = nullptr;
    throw JTextError("cannot open the MP3 decoder's feed");
  }
}

void Mp3Decoder::reset() {
  // A new handle: the library keeps the last format across a new feed, and
  // would not announce it again for a stream of the same format.
  mpg123_delete(handle_);
  handle_ = nullptr;
  rate_ = 0;
  channels_ = 0;
  open();
}

Mp3Decoder::~Mp3Decoder() {
  mpg123_delete(handle_);
}

bool Mp3Decoder::decode(const uint8_t* frame, size_t size, std::vector<int16_t>& out) {
  if (handle_ == nullptr) {
    return false;  // a reset that could not start the library again
  }
  unsigned char buffer[4 * 1152 * 2];
  const unsigned char* in = frame;
  size_t inSize = size;
  for (;;) {
    size_t done = 0;
    const int r = mpg123_decode(handle_, in, inSize, buffer, sizeof buffer, &done);
    in = nullptr;
    inSize = 0;
    if (r == MPG123_NEW_FORMAT) {
      int encoding = 0;
      mpg123_getformat(handle_, &rate_, &channels_, &encoding);
    }
    const auto* samples = reinterpret_cast<const int16_t*>(buffer);
    out.insert(out.end(), samples, samples + done / sizeof(int16_t));
    if (r == MPG123_NEED_MORE) {
      return true;
    }
    if (r != MPG123_OK && r != MPG123_NEW_FORMAT) {
      return false;
    }
  }
}

}  // namespace zq::zqoutput

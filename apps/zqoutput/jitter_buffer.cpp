// The jitter buffer's filling, playing and drift rules.
#include "zqoutput/jitter_buffer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zq::zqoutput {

void JitterBuffer::push(const int16_t* samples, size_t frames, PcmFormat format) {
  std::vector<int16_t> block = spareBlock();
  block.assign(samples, samples + frames * format.channels);
  push(std::move(block), format);
}

void JitterBuffer::push(std::vector<int16_t>&& block, PcmFormat format) {
  if (format != format_) {
    clear();
    format_ = format;
  }
  const size_t frames = format_.channels == 0 ? 0 : block.size() / format_.channels;
  if (frames == 0) {
    recycle(std::move(block));
    return;
  }
  block.resize(frames * format_.channels);  // whole sample frames only
  blocks_.push_back(std::move(block));
  depth_ += frames;
  lastBlock_ = frames;
  if (state_ == State::kIdle) {
    state_ = State::kFilling;
  }
  while (depth_ > framesOf(targetMs_ + kOverflowMs) && blocks_.size() > 1) {
    popFront();
    ++counters_.dropped;
    event("overflow: dropped the oldest block");
  }
}

JitterBuffer::Pull JitterBuffer::pull(int16_t* out, size_t frames, bool partial) {
  Pull p;
  p.format = format_;
  const size_t channels = format_.channels;
  const size_t target = targetFrames(frames);
  if (state_ == State::kFilling && depth_ >= std::max<size_t>(1, target)) {
    // What came beyond the target while filling (a block overshoots it; a
    // burst after a stall much more) would only add latency: it goes.
    if (depth_ > target && target > 0) {
      skip(depth_ - target);
      if (played_) {
        ++counters_.dropped;
        event("after filling: skipped to the target");
      }
    }
    state_ = State::kPlaying;
    played_ = true;
    settled_ = false;
    restartWindow();
  }
  p.state = state_;
  if (state_ != State::kPlaying) {
    std::fill_n(out, frames * channels, int16_t{0});
    p.write = state_ == State::kFilling && played_;
    p.frames = frames;
    return p;
  }
  size_t done = 0;
  while (done < frames && !blocks_.empty()) {
    const std::vector<int16_t>& front = blocks_.front();
    const size_t left = front.size() / channels - offset_;
    const size_t n = std::min(left, frames - done);
    std::memcpy(out + done * channels, front.data() + offset_ * channels,
                n * channels * sizeof(int16_t));
    done += n;
    offset_ += n;
    depth_ -= n;
    if (offset_ * channels == front.size()) {
      recycle(std::move(blocks_.front()));
      blocks_.pop_front();
      offset_ = 0;
    }
  }
  p.write = true;
  p.frames = frames;
  pulled_ = frames;
  if (done < frames && partial && done > 0) {
    p.frames = done;
  } else if (done < frames) {
    std::fill_n(out + done * channels, (frames - done) * channels, int16_t{0});
    ++counters_.underruns;
    state_ = State::kFilling;
    restartWindow();
    char line[96];
    std::snprintf(line, sizeof line, "underrun: filling again to %u ms", targetMs_);
    event(line);
    return p;
  }
  // The depth only falls here: the lowest after a pull is the lowest of all.
  lowest_ = std::min(lowest_, depth_);
  depthSum_ += uint64_t{depth_} * p.frames;
  windowFrames_ += p.frames;
  if (windowFrames_ >= framesOf(kDriftWindowMs)) {
    endWindow();
  }
  return p;
}

void JitterBuffer::restartWindow() {
  windowFrames_ = 0;
  lowest_ = SIZE_MAX;
  depthSum_ = 0;
}

void JitterBuffer::endWindow() {
  const size_t lowest = lowest_;
  const size_t mean = windowFrames_ == 0 ? 0 : static_cast<size_t>(depthSum_ / windowFrames_);
  restartWindow();
  if (lowest == SIZE_MAX || lastBlock_ == 0) {
    return;
  }
  // While the clocks agree the depth after a pull lies between the target
  // less a block and a period, and the target less a period; its mean half
  // a block above the bottom.
  const size_t period = pulled_;
  const size_t target = targetFrames(period);
  const size_t block = lastBlock_;
  const size_t nominalLow = target > block + period ? target - block - period : 0;
  const size_t nominalMean = nominalLow + block / 2;
  // The first window after the buffer starts playing only measures: the
  // first blocks of a source come unevenly and a device may take more than
  // its buffer as it starts (a sound server fills its own), which moves the
  // depth once, for good. Drift is measured from where it settled.
  if (!settled_) {
    settled_ = true;
    settledMean_ = std::min(mean, nominalMean);
    return;
  }
  char line[160];
  // The blocks and the periods pass through every phase of each other in
  // under a window, so while the clocks agree the lowest depth of a window
  // is within a period of the floor, the nominal low point that leaves the
  // target's margin against a late block. A window whose lowest stays a
  // period (and at least a quarter block) above it holds a surplus no late
  // wake-up can fake (a late block only lowers the depth): a faster sender,
  // or a burst that came after the buffer started playing (a new source
  // behind the sender, a stall upstream). It goes at once, from the newest
  // samples, so that the latency the buffer adds stays the target's. (Not
  // measured from where the first window settled: a late block or a lost
  // frame in it would set the floor low, and the margin would then be
  // trimmed away.)
  const size_t slack = std::max(period, block / 4);
  const size_t excess = lowest > nominalLow ? lowest - nominalLow : 0;
  if (excess >= slack && blocks_.size() > 1) {
    trimNewest(excess);
    counters_.dropped += std::max<size_t>(1, (excess + block / 2) / block);
    std::snprintf(line, sizeof line,
                  "clock drift: dropped %zu ms (lowest depth %zu ms, floor %zu ms, target %u ms)",
                  excess * 1000 / format_.rate, lowest * 1000 / format_.rate,
                  nominalLow * 1000 / format_.rate, targetMs_);
    event(line);
    return;
  }
  // A slower sender is seen in the mean depth over the window, against the
  // output's sample clock: a block that came late, or the output's own late
  // wake-up, moves a few of the window's depths for a moment and the lowest
  // by all of it, the mean hardly. Only a fall of the mean is drift: half a
  // block below where it settled, or a quarter block once the lowest depth
  // is within a period and a quarter block of running dry. What it fell is
  // played again, from the newest samples, up to a block.
  const size_t fall = settledMean_ > mean ? settledMean_ - mean : 0;
  const bool slow = fall >= block / 2 || (fall >= block / 4 && lowest < period + block / 4);
  const size_t again =
      std::min(fall, blocks_.empty() ? 0 : blocks_.back().size() / format_.channels);
  if (slow && again > 0 && lowest + again < nominalLow + slack) {
    std::vector<int16_t> repeat = spareBlock();
    const std::vector<int16_t>& newest = blocks_.back();
    repeat.assign(newest.end() - static_cast<std::ptrdiff_t>(again * format_.channels),
                  newest.end());
    blocks_.push_back(std::move(repeat));
    depth_ += again;
    counters_.repeated += std::max<size_t>(1, (again + block / 2) / block);
    std::snprintf(line, sizeof line,
                  "clock drift: played %zu ms twice (mean depth %zu ms, settled at %zu ms, "
                  "target %u ms)",
                  again * 1000 / format_.rate, mean * 1000 / format_.rate,
                  settledMean_ * 1000 / format_.rate, targetMs_);
    event(line);
  }
}

void JitterBuffer::clear() {
  for (std::vector<int16_t>& block : blocks_) {
    recycle(std::move(block));
  }
  blocks_.clear();
  offset_ = 0;
  depth_ = 0;
  lastBlock_ = 0;
  restartWindow();
  played_ = false;
  settled_ = false;
  state_ = State::kIdle;
}

size_t JitterBuffer::targetFrames(size_t pull) const {
  return std::max(framesOf(targetMs_), lastBlock_ + pull);
}

uint32_t JitterBuffer::bufferedMs() const {
  return format_.rate == 0 ? 0 : static_cast<uint32_t>(depth_ * 1000 / format_.rate);
}

std::string JitterBuffer::takeEvents() {
  std::string e;
  e.swap(events_);
  return e;
}

void JitterBuffer::skip(size_t frames) {
  while (frames > 0 && !blocks_.empty()) {
    const size_t left = blocks_.front().size() / format_.channels - offset_;
    const size_t n = std::min(left, frames);
    offset_ += n;
    depth_ -= n;
    frames -= n;
    if (n == left) {
      recycle(std::move(blocks_.front()));
      blocks_.pop_front();
      offset_ = 0;
    }
  }
}

void JitterBuffer::trimNewest(size_t frames) {
  while (frames > 0 && blocks_.size() > 1) {
    std::vector<int16_t>& newest = blocks_.back();
    const size_t have = newest.size() / format_.channels;
    const size_t n = std::min(have, frames);
    newest.resize((have - n) * format_.channels);
    depth_ -= n;
    frames -= n;
    if (n == have) {
      recycle(std::move(blocks_.back()));
      blocks_.pop_back();
    }
  }
}

void JitterBuffer::popFront() {
  depth_ -= blocks_.front().size() / format_.channels - offset_;
  recycle(std::move(blocks_.front()));
  blocks_.pop_front();
  offset_ = 0;
}

std::vector<int16_t> JitterBuffer::spareBlock() {
  if (spare_.empty()) {
    return {};
  }
  std::vector<int16_t> block = std::move(spare_.back());
  spare_.pop_back();
  block.clear();
  return block;
}

void JitterBuffer::recycle(std::vector<int16_t>&& block) {
  if (spare_.size() < kSpareBlocks && block.capacity() != 0) {
    spare_.push_back(std::move(block));
  }
}

void JitterBuffer::event(const char* what) {
  if (events_.size() < 4096) {  // a burst between two reads of the log
    events_ += what;
    events_ += '\n';
  }
}

}  // namespace zq::zqoutput

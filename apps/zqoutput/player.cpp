// The player's threads, the decoding on the source's, the hand-over of streams
// with the sources, and the output's clock.
#include "zqoutput/player.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/pcm_format.h"
#include "base/error.h"
#include "base/log.h"
#include "stream/net_mike2.h"
#include "stream/stream_frame_header.h"
#include "zqoutput/pcm.h"

namespace zq::zqoutput {
namespace {

using Clock = std::chrono::steady_clock;

// An output clock this far behind (a stalled thread) starts again rather
// than writing the backlog at once.
constexpr auto kMaxLag = std::chrono::milliseconds(200);
// The most an output that gathers writes at once: a wake later than this
// (a stalled thread) restarts its clock as above.
constexpr uint32_t kMaxGatherMs = 200;
// How long a source change waits for such an output to write what fell due.
constexpr auto kFlushWait = std::chrono::seconds(1);

int32_t peakDb(const std::vector<int16_t>& samples) {
  int peak = 0;
  for (int16_t s : samples) {
    peak = std::max(peak, std::abs(static_cast<int>(s)));
  }
  return peak == 0 ? -96 : static_cast<int32_t>(std::lround(20 * std::log10(peak / 32767.0)));
}

}  // namespace

Player::Player(AudioSink& sink, uint32_t bufferMs)
    : JThread("zqoutput player"),
      sink_(sink),
      gatherMs_(sink.paced() ? sink.periodMs() : std::max(sink.gatherMs(), sink.periodMs())),
      buffer_(bufferMs) {
  // Frames are decoded on the source's own thread as they are published
  // (the network reception's runs time-critical): this one only hands
  // streams over and takes its time. The output is on the way of every
  // block: time-critical, real-time where permitted.
  start();
  output_.start(JThread::kTimeCritical);
}

Player::~Player() {
  stop();
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  join();
  {
    std::lock_guard lock(bufferMutex_);
    quitOutput_ = true;
  }
  bufferChanged_.notify_all();
  outputWake_.notify_all();
}

void Player::setVolume(int32_t volume) {
  volume_.store(std::clamp(volume, 0, 100));
}

Player::Stats Player::stats() const {
  Stats s;
  {
    std::lock_guard lock(mutex_);
    s.source = sourceText_;
  }
  s.received = received_.load();
  s.lost = lost_.load();
  s.late = late_.load();
  s.duplicates = duplicates_.load();
  s.strays = strays_.load();
  s.concealed = concealed_.load();
  s.outputErrors = outputErrors_.load();
  s.decoded = decoded_.load();
  s.errors = errors_.load();
  s.levelDb = levelDb_.load();
  {
    std::lock_guard lock(bufferMutex_);
    const JitterBuffer::Counters& c = buffer_.counters();
    s.underruns = c.underruns;
    s.dropped = c.dropped;
    s.repeated = c.repeated;
    s.bufferedMs = buffer_.bufferedMs() + stagedMs();
  }
  s.underruns += deviceUnderruns_.load();
  return s;
}

void Player::play(const MikeDesc& desc, const std::string& text) {
  std::lock_guard source(sourceMutex_);
  openSource(desc, text);
}

void Player::openSource(const MikeDesc& desc, const std::string& text) {
  closeSource();
  SharedMike* mike = SharedMike::acquire(desc);
  opened_ = opened_ == UINT32_MAX ? 1 : opened_ + 1;
  {
    // The source may tell its stream during open already.
    std::lock_guard lock(mutex_);
    current_ = opened_;
    remote_ = desc.type == MikeDesc::kNetwork;
  }
  changed_.notify_all();
  int32_t user = -1;
  try {
    mike->open(user, this, opened_, /*persistent=*/1, /*synchronous=*/0, false);
  } catch (...) {
    {
      std::unique_lock lock(mutex_);
      current_ = 0;
      stream_ = nullptr;
      detach(lock);
    }
    SharedMike::release(mike);
    throw;
  }
  source_ = mike;
  user_ = user;
  desc_ = desc;
  std::lock_guard lock(mutex_);
  sourceText_ = text;
}

void Player::askAgain(uint32_t context, uint32_t silentMs) {
  std::lock_guard source(sourceMutex_);
  std::string text;
  {
    std::lock_guard lock(mutex_);
    if (context != current_ || stream_ != nullptr) {
      return;  // replaced, stopped or served meanwhile
    }
    text = sourceText_;
  }
  const MikeDesc desc = desc_;
  JLog::logf(kLevelInfo, "zqoutput: no stream from %s after %u ms: asking again", text.c_str(),
             static_cast<unsigned>(silentMs));
  try {
    openSource(desc, text);
  } catch (const JError& e) {
    logCaught(e);
    JLog::logf(kLevelError, "zqoutput: %s cannot be opened again: silent", text.c_str());
  }
}

void Player::stop() {
  std::lock_guard source(sourceMutex_);
  closeSource();
}

void Player::closeSource() {
  {
    // From here until the source's close returns, its link events may still
    // come (a link that comes up, the next file of a list): none of them may
    // hand the reader a stream, which the close then deletes under it.
    std::unique_lock lock(mutex_);
    current_ = 0;
    stream_ = nullptr;
    detach(lock);
    sourceText_.clear();
  }
  changed_.notify_all();
  if (source_ != nullptr) {
    source_->close(user_);
    SharedMike::release(source_);
    source_ = nullptr;
  }
  {
    std::unique_lock lock(bufferMutex_);
    if (gatherMs_ > sink_.periodMs()) {
      // An output that gathers has periods that fell due and are not
      // written yet: they are what played of the source, and go out first.
      // Bounded: an output stuck in a write must not hold up the change.
      flushWanted_ = true;
      bufferChanged_.notify_all();
      outputWake_.notify_all();
      outputWake_.wait_for(lock, kFlushWait, [this] { return !flushWanted_ || quitOutput_; });
      flushWanted_ = false;
    }
    staged_.clear();
    buffer_.clear();
  }
  bufferChanged_.notify_all();
}

void Player::detach(std::unique_lock<std::mutex>& lock) {
  if (attached_ == nullptr) {
    return;
  }
  detach_.store(true);
  changed_.notify_all();
  changed_.wait(lock, [this] { return attached_ == nullptr; });
  detach_.store(false);
}

bool Player::linkDown(const JError*, uint32_t context) {
  std::unique_lock lock(mutex_);
  if (context != current_) {
    return true;  // a source being closed
  }
  stream_ = nullptr;
  detach(lock);
  return true;
}

void Player::linkUp(JStream* stream, uint32_t context) {
  std::unique_lock lock(mutex_);
  if (context != current_ || context == 0) {
    return;  // a source being closed
  }
  if (stream != attached_) {
    detach(lock);
  }
  stream_ = stream;
  changed_.notify_all();
}

void Player::run() {
  uint32_t askAfterMs = kAskAgainMs;
  for (;;) {
    JStream* stream = nullptr;
    std::string text;
    {
      std::unique_lock lock(mutex_);
      while (!quit_ && stream_ == nullptr) {
        const uint32_t waitingFor = current_;
        const auto moved = [&] { return quit_ || stream_ != nullptr || current_ != waitingFor; };
        if (waitingFor == 0 || !remote_) {
          changed_.wait(lock, moved);
          continue;
        }
        // A provider that took the link but gave no stream (an answer
        // without its description, a channel refused) leaves the output
        // silent while the link's PINGs go on succeeding: it is asked
        // again, less and less often.
        if (changed_.wait_for(lock, std::chrono::milliseconds(askAfterMs), moved)) {
          continue;
        }
        lock.unlock();
        askAgain(waitingFor, askAfterMs);
        askAfterMs = std::min(askAfterMs * 2, kAskAgainMaxMs);
        lock.lock();
      }
      if (quit_) {
        return;
      }
      askAfterMs = kAskAgainMs;
      attached_ = stream_;
      stream = attached_;
      text = sourceText_;
    }
    {
      reading_ = Reading{};
      reading_.info = stream->copyStreamInfo();
      // A network source counts what never came. (Nothing is read late:
      // every frame is decoded as it is published.)
      reading_.net = dynamic_cast<const NetMike2*>(stream);
      if (reading_.net != nullptr) {
        const NetMike2& net = *reading_.net;
        reading_.since = {net.lostFrames(), net.lateFrames(), net.duplicatePackets(),
                          net.foreignPackets()};
      }
      lastBlock_.clear();
      try {
        // Each stream from a decoder of its own: what the last one left
        // half-fed, or the error it ended in, must not spoil this one.
        decoder_.reset();
      } catch (const JError& e) {
        logCaught(e);
      }
      const StreamInfo* info = reading_.info.get();
      if (info != nullptr && info->formatTag() != StreamInfo::kFormatPcm &&
          info->formatTag() != StreamInfo::kFormatMp3) {
        JLog::logf(kLevelWarning, "zqoutput: cannot play format tag %u of %s: neither PCM nor MP3",
                   static_cast<unsigned>(info->formatTag()), text.c_str());
      }
      // The output's periods are sized from a PCM stream's rate and
      // channels, which come from the peer: outside what the system plays,
      // its frames are refused (the sample size is the conversion's to
      // check).
      if (info != nullptr && info->formatTag() == StreamInfo::kFormatPcm) {
        reading_.unplayable =
            pcmFormatProblem(info->samplesPerSecond(), 16, info->channels(), 2u * info->channels());
        if (!reading_.unplayable.empty()) {
          JLog::logf(kLevelWarning, "zqoutput: cannot play %s: %s", text.c_str(),
                     reading_.unplayable.c_str());
        }
      }
    }
    // From here each frame published is decoded on the writer's thread.
    stream->addListener(this);
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return quit_ || detach_.load(); });
    }
    // Once removed, no call is under way on the writer's thread.
    stream->removeListener(this);
    if (reading_.net != nullptr) {
      countNet(*reading_.net, reading_.since);
    }
    reading_ = Reading{};
    std::lock_guard lock(mutex_);
    attached_ = nullptr;
    changed_.notify_all();
  }
}

void Player::onPublication(const uint8_t* frame) {
  // The writer's thread (a source's reception or capture): nothing thrown
  // may end it.
  try {
    received_.fetch_add(1, std::memory_order_relaxed);
    // What never came before this frame is played over first.
    const uint64_t missing = reading_.net != nullptr ? countNet(*reading_.net, reading_.since) : 0;
    if (!reading_.unplayable.empty()) {
      errors_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    conceal(missing);
    decodeFrame(*reinterpret_cast<const StreamFrameHeader*>(frame), reading_.info.get());
  } catch (const JError& e) {
    logCaught(e);
  } catch (const std::exception& e) {
    JLog::logf(kLevelError, "zqoutput: a frame could not be played: %s", e.what());
  }
}

uint64_t Player::countNet(const NetMike2& mike, NetCounters& since) {
  const NetCounters now{mike.lostFrames(), mike.lateFrames(), mike.duplicatePackets(),
                        mike.foreignPackets()};
  // A late frame takes back a loss: the difference may be negative, and
  // wraps into the sum as it should. Lost and late together only grow.
  lost_.fetch_add(now.lost - since.lost, std::memory_order_relaxed);
  late_.fetch_add(now.late - since.late, std::memory_order_relaxed);
  duplicates_.fetch_add(now.duplicates - since.duplicates, std::memory_order_relaxed);
  strays_.fetch_add(now.strays - since.strays, std::memory_order_relaxed);
  const uint64_t missing = (now.lost + now.late) - (since.lost + since.late);
  since = now;
  return missing;
}

void Player::conceal(uint64_t frames) {
  if (frames == 0 || lastBlock_.empty()) {
    return;
  }
  const uint64_t blocks = std::min<uint64_t>(frames, kMaxConcealedBlocks);
  {
    std::lock_guard lock(bufferMutex_);
    for (uint64_t i = 0; i < blocks; ++i) {
      pushBlock(lastBlock_.data(), lastBlock_.size() / lastFormat_.channels, lastFormat_);
    }
    ++pushes_;
  }
  concealed_.fetch_add(blocks, std::memory_order_relaxed);
  bufferChanged_.notify_all();
}

void Player::decodeFrame(const StreamFrameHeader& frame, const StreamInfo* info) {
  pcm_.clear();
  uint32_t rate = 0;
  uint32_t channels = 0;
  // A source without a description is taken for MP3, which says its own
  // format in every frame.
  const uint16_t tag = info != nullptr ? info->formatTag() : StreamInfo::kFormatMp3;
  if (tag == StreamInfo::kFormatPcm) {
    if (!pcmToS16(frame.payload(), frame.size, info->bitsPerSample(), pcm_)) {
      errors_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    rate = info->samplesPerSecond();
    channels = info->channels();
  } else if (tag == StreamInfo::kFormatMp3) {
    if (!decoder_.decode(frame.payload(), frame.size, pcm_)) {
      errors_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    rate = static_cast<uint32_t>(decoder_.sampleRate());
    channels = static_cast<uint32_t>(decoder_.channels());
  } else {
    errors_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (pcm_.empty() || rate == 0 || channels == 0) {
    return;  // the decoder's delay: nothing yet
  }
  decoded_.fetch_add(1, std::memory_order_relaxed);
  lastFormat_ = PcmFormat{rate, channels};
  {
    std::lock_guard lock(bufferMutex_);
    pushBlock(pcm_.data(), pcm_.size() / channels, lastFormat_);
    ++pushes_;
  }
  bufferChanged_.notify_all();
  // Kept for a missing frame; the next frame decodes into the older one.
  lastBlock_.swap(pcm_);
}

void Player::pushBlock(const int16_t* samples, size_t frames, PcmFormat format) {
  if (gatherMs_ == sink_.periodMs()) {
    buffer_.push(samples, frames, format);
    return;
  }
  std::vector<int16_t> block = buffer_.spareBlock();
  block.assign(samples, samples + frames * format.channels);
  staged_.push_back({std::move(block), frames, format, Clock::now()});
  stagedFrames_ += frames;
  // An output stuck in a write leaves the buffer to bound what waits.
  while (stagedFrames_ > format.rate * (kMaxGatherMs + JitterBuffer::kOverflowMs) / 1000) {
    releaseStaged(staged_.front().at);
  }
}

void Player::releaseStaged(Clock::time_point upTo) {
  while (!staged_.empty() && staged_.front().at <= upTo) {
    Staged& b = staged_.front();
    buffer_.push(std::move(b.samples), b.format);
    stagedFrames_ -= b.frames;
    staged_.pop_front();
  }
}

uint32_t Player::stagedMs() const {
  return staged_.empty() || staged_.front().format.rate == 0
             ? 0
             : static_cast<uint32_t>(stagedFrames_ * 1000 / staged_.front().format.rate);
}

// The output: a period at a time from the jitter buffer, at the device's
// clock, or at the system's for an output that does not block. An output
// that gathers (a file, nowhere) takes every period that fell due since its
// last wake and writes them at once; the blocks the reader decoded wait
// beside the buffer with the time they came, and each goes in just before
// the first period due after it. So the buffer sees its pushes and pulls in
// the order they would have had, a period at a time: its filling, underruns
// and drift rules take a late pull for no more than it is.
void Player::playOut() {
  std::vector<int16_t> out;  // the periods of one write
  const uint32_t periodMs = sink_.periodMs();
  const auto gather = std::chrono::milliseconds(gatherMs_ - periodMs);
  PcmFormat clockFormat;
  Clock::time_point start;
  uint64_t written = 0;  // sample frames since `start`
  bool clockRunning = false;
  uint64_t failedWrites = 0;  // in a row
  // When the sample frame `at` of the running clock falls due.
  const auto dueAt = [&](uint64_t at) {
    return start + std::chrono::microseconds(at * 1000000 / clockFormat.rate);
  };
  // The buffer's events of a wake, each with the time the period it came
  // with fell due: a gathering output logs them up to its gather interval
  // later, one held off its CPU later still, and whoever reads the log needs
  // to know when the output ran dry, not when it said so.
  std::vector<std::pair<std::string, Clock::time_point>> events;
  const auto takeEvents = [&](Clock::time_point due) {
    std::string taken = buffer_.takeEvents();
    if (!taken.empty()) {
      events.emplace_back(std::move(taken), due);
    }
  };
  for (;;) {
    JitterBuffer::Pull pull;
    events.clear();
    size_t frames = 0;     // sample frames in `out`
    size_t period = 0;     // sample frames of a period
    bool flushed = false;  // `out` holds all that was due when a clear asked
    {
      std::unique_lock lock(bufferMutex_);
      bufferChanged_.wait(lock, [this] {
        return quitOutput_ || flushWanted_ || !staged_.empty() ||
               buffer_.state() != JitterBuffer::State::kIdle;
      });
      if (quitOutput_) {
        return;
      }
      // What came before the period due now (all that came, when the clock
      // is not running or a flush woke the output before that period).
      const auto now = Clock::now();
      releaseStaged(clockRunning ? std::min(now, dueAt(written)) : now);
      const PcmFormat f = buffer_.format();
      period = std::max<size_t>(1, size_t{f.rate} * periodMs / 1000);
      out.resize(period * f.channels);
      // What is left of the last block, when the next has not come: the
      // rest is pulled when it falls due (below).
      pull = buffer_.pull(out.data(), period, true);
      takeEvents(clockRunning ? std::min(now, dueAt(written)) : now);
      if (!pull.write) {
        // Idle, or filling before the first sound: nothing is due, and the
        // clock starts with the first sound.
        clockRunning = false;
        if (flushWanted_) {
          flushWanted_ = false;
          outputWake_.notify_all();
        }
        if (buffer_.state() != JitterBuffer::State::kIdle) {
          const uint64_t pushes = pushes_;
          bufferChanged_.wait_for(lock, std::chrono::milliseconds(periodMs), [&] {
            return quitOutput_ || flushWanted_ || pushes_ != pushes ||
                   buffer_.state() == JitterBuffer::State::kIdle;
          });
        }
      } else {
        frames = pull.frames;
        if (gatherMs_ > periodMs && clockRunning && pull.format == clockFormat) {
          // The periods that fell due since the wake was planned (one cut
          // short at a block's end goes on from there, if that is due).
          const size_t most = size_t{f.rate} * kMaxGatherMs / 1000;
          while (frames + period <= most && dueAt(written + frames) <= now) {
            const auto due = dueAt(written + frames);
            releaseStaged(due);
            if (buffer_.format() != f) {
              break;
            }
            out.resize((frames + period) * f.channels);
            const JitterBuffer::Pull more =
                buffer_.pull(out.data() + frames * f.channels, period, true);
            takeEvents(due);
            if (!more.write) {
              out.resize(frames * f.channels);
              break;
            }
            frames += more.frames;
          }
        }
        out.resize(frames * f.channels);
        flushed = flushWanted_;
      }
    }
    for (const auto& [text, due] : events) {
      const auto ago = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - due);
      for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        JLog::logf(kLevelInfo, "zqoutput: %s (due %lld ms before)",
                   text.substr(at, end - at).c_str(), static_cast<long long>(ago.count()));
        at = end + 1;
      }
    }
    if (!pull.write) {
      levelDb_.store(-96);
      continue;
    }
    const int32_t volume = volume_.load();
    if (volume != 100) {
      for (int16_t& s : out) {
        s = static_cast<int16_t>(s * volume / 100);
      }
    }
    levelDb_.store(peakDb(out));
    bool delivered = false;
    try {
      sink_.format(pull.format.rate, pull.format.channels);
      deviceUnderruns_.fetch_add(sink_.write(out.data(), frames), std::memory_order_relaxed);
      delivered = true;
    } catch (const JError& e) {
      // A full disk or a device gone fails every period: said once, and
      // the clock below keeps the pace meanwhile.
      if (failedWrites == 0) {
        logCaught(e);
        JLog::logf(kLevelError,
                   "zqoutput: cannot write to %s: what plays is lost until it works again",
                   sink_.describe().c_str());
      }
      ++failedWrites;
      outputErrors_.fetch_add(1, std::memory_order_relaxed);
    }
    if (delivered && failedWrites != 0) {
      JLog::logf(kLevelInfo, "zqoutput: %s works again after %llu failed writes",
                 sink_.describe().c_str(), static_cast<unsigned long long>(failedWrites));
      failedWrites = 0;
    }
    if (flushed) {
      std::lock_guard lock(bufferMutex_);
      flushWanted_ = false;
      outputWake_.notify_all();
    }
    if (delivered && sink_.paced()) {
      if (frames < period) {
        // Cut short at a block's end: the device's cadence would ask for
        // the rest of the period only when it has played what it just
        // took, unless the next block comes first.
        std::unique_lock lock(bufferMutex_);
        const uint64_t pushes = pushes_;
        bufferChanged_.wait_for(
            lock, std::chrono::microseconds((period - frames) * 1000000 / pull.format.rate),
            [&] { return quitOutput_ || pushes_ != pushes; });
      }
      continue;
    }
    const auto now = Clock::now();
    if (!clockRunning || pull.format != clockFormat) {
      clockRunning = true;
      clockFormat = pull.format;
      start = now;
      written = 0;
    }
    written += frames;
    const auto due = dueAt(written);
    if (now - due > kMaxLag) {
      clockRunning = false;
      continue;
    }
    // Not the buffer's condition, which every frame pushed would wake: a
    // wait of its own, which only a clear that wants what fell due written
    // first, and the end, cut short.
    std::unique_lock lock(bufferMutex_);
    outputWake_.wait_until(lock, due + gather, [this] { return quitOutput_ || flushWanted_; });
  }
}

}  // namespace zq::zqoutput

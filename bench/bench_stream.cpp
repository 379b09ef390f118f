// The stream engine's buffers and readers, measured in one run:
//  1. frames per second through one writer and 1, 8 and 31 readers, against
//     a queue of the same shape built on a mutex and a condition variable
//     (a ring of buffers, the writer recycling the oldest one nobody reads,
//     readers holding one frame at a time without a copy);
//  2. the latency from publish to the return of a blocked readNext, with the
//     wake on publish and with the 10 ms poll alone;
//  3. the wake-ups per second of 31 readers blocked on an idle stream.
// Usage: bench_stream [seconds per figure, default 1]
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_args.h"
#include "stream/stream.h"
#include "stream/stream_client.h"
#include "stream/stream_frame_header.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

constexpr size_t kFrameBytes = 1984;  // an MP3 stream's buffers
constexpr int kBuffers = 5;

struct Rate {
  double written;    // frames per second published
  double delivered;  // frames per second returned to readers, all readers together
};

// Readers do what a consumer does with a frame: look at its bytes.
uint32_t touch(const uint8_t* payload) {
  uint32_t sum = 0;
  for (size_t i = 0; i < 64; ++i) {
    sum += payload[i];
  }
  return sum;
}

// The JStream under test, in the shape the throughput loop drives.
class StreamQueue {
 public:
  using Reader = std::unique_ptr<zq::StreamClient>;

  Reader reader() {
    auto client = std::make_unique<zq::StreamClient>();
    client->listen(&stream_);
    return client;
  }
  const uint8_t* read(Reader& client, const std::atomic<bool>& stop) {
    return client->readNext(&stop);
  }
  void done(Reader& client) { client->unlock(); }
  uint8_t* take() { return stream_.getWriteBuffer(); }
  void publish() { stream_.publish(0); }
  void wakeAll() { stream_.wakeReaders(); }

 private:
  zq::JStream stream_{kFrameBytes, kBuffers, false, 1, true};
};

// The same shape on a mutex and a condition variable.
class LockedRing {
 public:
  struct Slot {
    std::vector<uint8_t> data;
    int64_t sequence = -1;
    int readers = 0;
  };

  LockedRing() : slots_(kBuffers + 2) {
    for (Slot& slot : slots_) {
      slot.data.resize(kFrameBytes);
    }
  }

  uint8_t* take() {
    std::lock_guard lock(mutex_);
    Slot* oldest = nullptr;
    for (Slot& slot : slots_) {
      if (slot.readers == 0 && (oldest == nullptr || slot.sequence < oldest->sequence)) {
        oldest = &slot;
      }
    }
    writing_ = oldest;
    oldest->sequence = INT64_MAX;  // hidden from readers until published
    return oldest->data.data();
  }
  void publish() {
    {
      std::lock_guard lock(mutex_);
      writing_->sequence = ++last_;
    }
    arrived_.notify_all();
  }
  // A reader's place: the last sequence read and the frame it holds.
  struct Reader {
    int64_t after = -1;
    Slot* held = nullptr;
  };
  Reader reader() { return {}; }
  void done(Reader&) {}

  // The next frame above the last read, held until the next read; null once
  // stopped.
  const uint8_t* read(Reader& place, const std::atomic<bool>& stop) {
    std::unique_lock lock(mutex_);
    if (place.held != nullptr) {
      --place.held->readers;
      place.held = nullptr;
    }
    for (;;) {
      if (stop) {
        return nullptr;
      }
      Slot* next = nullptr;
      for (Slot& slot : slots_) {
        if (slot.sequence > place.after && slot.sequence <= last_ &&
            (next == nullptr || slot.sequence < next->sequence)) {
          next = &slot;
        }
      }
      if (next != nullptr) {
        ++next->readers;
        place.after = next->sequence;
        place.held = next;
        return next->data.data();
      }
      arrived_.wait(lock);
    }
  }
  void wakeAll() {
    { std::lock_guard lock(mutex_); }
    arrived_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Slot> slots_;
  Slot* writing_ = nullptr;
  int64_t last_ = -1;
};

// One writer publishing as fast as it can for `seconds`, `readers` threads
// reading every frame they can get.
template <typename Queue>
Rate throughput(int readers, double seconds) {
  Queue queue;
  std::vector<typename Queue::Reader> places;
  for (int r = 0; r < readers; ++r) {
    places.push_back(queue.reader());
  }
  std::atomic<bool> stop{false};
  std::atomic<int64_t> delivered{0};
  std::atomic<uint32_t> sink{0};
  std::vector<std::thread> threads;
  for (auto& place : places) {
    threads.emplace_back([&] {
      int64_t count = 0;
      uint32_t sum = 0;
      while (const uint8_t* frame = queue.read(place, stop)) {
        sum += touch(frame + sizeof(zq::StreamFrameHeader));
        ++count;
      }
      queue.done(place);
      delivered += count;
      sink += sum;
    });
  }
  int64_t written = 0;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    for (int i = 0; i < 64; ++i) {
      uint8_t* buffer = queue.take();
      std::memset(buffer + sizeof(zq::StreamFrameHeader), static_cast<int>(written), 64);
      queue.publish();
      ++written;
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  queue.wakeAll();
  for (std::thread& thread : threads) {
    thread.join();
  }
  return {static_cast<double>(written) / elapsed, static_cast<double>(delivered) / elapsed};
}

struct Latency {
  double medianUs;
  double p99Us;
};

// The writer publishes a frame carrying its publish time every 2 ms, so the
// reader is asleep in readNext each time.
Latency publishToRead(bool wake, int frames) {
  zq::JStream stream(kFrameBytes, kBuffers, false, 1, true);
  stream.setWakeOnPublish(wake);
  zq::StreamClient client;
  client.listen(&stream);
  std::atomic<bool> stop{false};
  std::vector<int64_t> latencies;
  latencies.reserve(static_cast<size_t>(frames));
  std::thread reader([&] {
    while (uint8_t* frame = client.readNext(&stop)) {
      const int64_t now = nowNs();
      int64_t sent = 0;
      std::memcpy(&sent, frame + sizeof(zq::StreamFrameHeader), sizeof sent);
      latencies.push_back(now - sent);
    }
    client.unlock();
  });
  for (int i = 0; i < frames; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    uint8_t* buffer = stream.getWriteBuffer();
    const int64_t sent = nowNs();
    std::memcpy(buffer + sizeof(zq::StreamFrameHeader), &sent, sizeof sent);
    stream.publish(0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the last frame read
  stop = true;
  stream.wakeReaders();
  reader.join();
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) {
    return static_cast<double>(
               latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))]) /
           1000.0;
  };
  return {at(0.5), at(0.99)};
}

// Voluntary context switches of every thread of the process but the caller.
int64_t switchesOfOtherThreads() {
  const long self = ::syscall(SYS_gettid);
  int64_t total = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) {
    return -1;
  }
  while (dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.' || std::atol(entry->d_name) == self) {
      continue;
    }
    std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        total += std::atoll(line.c_str() + 24);
      }
    }
  }
  ::closedir(tasks);
  return total;
}

double idleWakeUps(double seconds) {
  zq::JStream stream(kFrameBytes, kBuffers, false, 1, true);
  std::vector<std::unique_ptr<zq::StreamClient>> clients;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int r = 0; r < zq::JS_MAXREADERS; ++r) {
    clients.push_back(std::make_unique<zq::StreamClient>());
    clients.back()->listen(&stream);
    zq::StreamClient* client = clients.back().get();
    threads.emplace_back([client, &stop] {
      while (client->readNext(&stop) != nullptr) {
      }
      client->unlock();
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int64_t before = switchesOfOtherThreads();
  const Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const int64_t after = switchesOfOtherThreads();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  stream.wakeReaders();
  for (std::thread& thread : threads) {
    thread.join();
  }
  return static_cast<double>(after - before) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  zq::bench::Args args(
      "Speed of the stream engine: one writer and many readers of a JStream against a\n"
      "mutex-and-condition-variable queue of the same shape, the publish-to-read latency\n"
      "with and without the wake on publish, and the wake-ups of readers of an idle stream.",
      "  frames/s written and delivered for 1, 8 and 31 readers, both queues, and the ratio;\n"
      "  the publish-to-readNext latency (median, p99) with the wake and with the poll alone;\n"
      "  the wake-ups per second of 31 readers blocked on an idle stream.",
      {{"seconds", "seconds per throughput and idle figure", 1, 0.1, 60, false}});
  args.parse(argc, argv);
  const double seconds = args.number(0);
  zq::bench::ScratchRegistry registry;

  std::printf("frames of %zu bytes, %d + 1 + 1 buffers, readers touch 64 bytes of each\n",
              kFrameBytes, kBuffers);
  std::printf("%-8s %14s %14s %14s %14s %8s\n", "readers", "JStream wr/s", "JStream rd/s",
              "locked wr/s", "locked rd/s", "rd ratio");
  for (int readers : {1, 8, 31}) {
    const Rate stream = throughput<StreamQueue>(readers, seconds);
    const Rate locked = throughput<LockedRing>(readers, seconds);
    std::printf("%-8d %14.0f %14.0f %14.0f %14.0f %8.2f\n", readers, stream.written,
                stream.delivered, locked.written, locked.delivered,
                stream.delivered / std::max(locked.delivered, 1.0));
  }

  const int frames = static_cast<int>(std::max(200.0, 500 * seconds));
  const Latency woken = publishToRead(true, frames);
  const Latency polled = publishToRead(false, frames / 4);
  std::printf("publish -> readNext, with the wake:   median %8.1f us, p99 %8.1f us\n",
              woken.medianUs, woken.p99Us);
  std::printf("publish -> readNext, poll alone:      median %8.1f us, p99 %8.1f us\n",
              polled.medianUs, polled.p99Us);
  std::printf("idle stream, 31 blocked readers:      %.0f wake-ups/s (the 10 ms poll: 3100)\n",
              idleWakeUps(std::max(seconds, 1.0)));
  return 0;
}

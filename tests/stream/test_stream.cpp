// The stream engine's buffers and readers: JStream's readers from the first
// to the 32nd, StreamClient's reads (order, losses, held frames, time-outs,
// wake-ups) and listeners under one writer and many readers; and the stream
// descriptions (short ones refused, the compatibility test with its errors).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "helpers/thrown.h"
#include "helpers/waits.h"
#include "stream/stream.h"
#include "stream/stream_client.h"
#include "stream/stream_frame_header.h"
#include "stream/stream_info.h"

namespace zq {
namespace {

// Writes one frame whose payload is its number, and returns the number.
int32_t writeFrame(JStream& stream, int32_t number) {
  StreamFrameHeader* header = frameHeaderOf(stream.getWriteBuffer());
  header->size = sizeof number;
  header->keyWord = 0;
  std::memcpy(header->payload(), &number, sizeof number);
  stream.publish(0);
  return number;
}

int32_t payloadOf(const uint8_t* frame) {
  int32_t number = 0;
  std::memcpy(&number, frame + sizeof(StreamFrameHeader), sizeof number);
  return number;
}

// A stream of the shape of the audio sources: 5 buffers, 1 extra.
std::unique_ptr<JStream> makeStream(bool blocking = false) {
  return std::make_unique<JStream>(64, 5, blocking, 1, true);
}

// Reads without blocking: the payload number and sequence, or -1.
struct Read {
  int32_t payload = -1;
  int32_t sequence = -1;
};
Read tryRead(StreamClient& client) {
  Read read;
  if (uint8_t* frame = client.tryReadNext(&read.sequence, 0, 0)) {
    read.payload = payloadOf(frame);
  }
  return read;
}

int buffersOf(const JStreamTable* table) {
  int count = 0;
  for (int i = 0; i < table->entriesInUse.load(); ++i) {
    count += table->entries[i].data() != nullptr ? 1 : 0;
  }
  return count;
}

// A stream through its clients' comings and goings: 31 readers and a 32nd
// refused (a refused listen leaves a client where it was), and a released
// stream that goes with its last client.
TEST(Stream, ServesItsClientsFromFirstListenToRelease) {
  struct Counted : JStream {
    explicit Counted(int* gone) : JStream(64, 5, false, 1, true), gone_(gone) {}
    ~Counted() override { ++*gone_; }
    int* gone_;
  };
  int gone = 0;
  auto* stream = new Counted(&gone);
  std::vector<std::unique_ptr<StreamClient>> clients;
  for (int i = 0; i < JS_MAXREADERS; ++i) {
    clients.push_back(std::make_unique<StreamClient>());
    clients.back()->listen(stream);
  }
  auto other = makeStream();
  StreamClient extra;
  extra.listen(other.get());
  EXPECT_EQ(test::thrownText([&] { extra.listen(stream); }),
            "cannot listen: JS_MAXREADERS exceeded");
  EXPECT_EQ(extra.stream(), other.get());
  EXPECT_EQ(other->clientCount(), 1u);
  EXPECT_EQ(stream->clientCount(), 31u);
  writeFrame(*stream, 5);
  for (auto& client : clients) {
    EXPECT_EQ(tryRead(*client).payload, 5);
  }

  stream->release();
  for (auto& client : clients) {
    EXPECT_EQ(gone, 0);
    client->listen(nullptr);
  }
  EXPECT_EQ(gone, 1);
  (new Counted(&gone))->release();
  EXPECT_EQ(gone, 2) << "no client: at once";
}

// One reader through its life: it starts at the newest frame, reads each
// frame once and in order, goes to the newest again after releaseFrame, and, slow behind a writer
// that recycles the frames it did not hold (never the one it holds), skips them and counts them
// lost.
TEST(StreamClient, AReaderThroughItsLife) {
  auto stream = makeStream();  // 5 + 1 + 1, and 1 brought by the reader
  StreamClient client;
  for (int32_t i = 0; i < 10; ++i) {
    writeFrame(*stream, i);
  }
  client.listen(stream.get());
  EXPECT_EQ(tryRead(client).payload, 9);
  EXPECT_EQ(tryRead(client).payload, -1) << "each frame at most once";
  EXPECT_EQ(client.framesBehind(), 0);
  writeFrame(*stream, 10);
  writeFrame(*stream, 11);
  EXPECT_EQ(client.framesBehind(), 2);
  EXPECT_EQ(tryRead(client).sequence, 10);
  EXPECT_EQ(tryRead(client).sequence, 11);
  EXPECT_EQ(client.lostFrames(), 0);
  client.releaseFrame();
  EXPECT_EQ(client.framesBehind(), -1);
  writeFrame(*stream, 14);
  writeFrame(*stream, 15);
  const uint8_t* held = client.tryReadNext(nullptr, 0, 0);
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(payloadOf(held), 15) << "after releaseFrame: the newest";

  // 20 frames while the reader holds frame 15.
  for (int32_t i = 16; i < 36; ++i) {
    writeFrame(*stream, i);
  }
  EXPECT_EQ(payloadOf(held), 15) << "the frame being read was recycled";
  std::vector<int32_t> got;
  for (Read read = tryRead(client); read.payload >= 0; read = tryRead(client)) {
    got.push_back(read.payload);
  }
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), 35);
  for (size_t i = 1; i < got.size(); ++i) {
    EXPECT_EQ(got[i], got[i - 1] + 1);
  }
  EXPECT_EQ(client.lostFrames(), got.front() - 16);
}

// A blocked reader ends on its time-out (unlocked, so that another thread
// can take it off the stream) or on its stop flag, and wakes on a
// publication; sleepers on the stream, all of them, wake on a publication
// or a wake, not on their bound.
TEST(StreamClient, BlockedReadersWakeOnPublicationAndEndOnTimeOutOrStop) {
  auto stream = makeStream();
  StreamClient client;
  client.listen(stream.get());
  client.setTimeout(50);
  EXPECT_THROW(client.readNext(nullptr), JTimeoutError);
  std::thread([&] { client.listen(nullptr); }).join();
  client.listen(stream.get());
  client.setTimeout(-1);
  for (const bool publish : {false, true}) {
    SCOPED_TRACE(publish);
    std::atomic<bool> stop{false};
    std::atomic<int32_t> got{-2};
    std::thread reader([&] {
      uint8_t* frame = client.readNext(&stop);
      got = frame != nullptr ? payloadOf(frame) : -1;
      client.unlock();
    });
    if (publish) {
      writeFrame(*stream, 77);
      EXPECT_TRUE(test::eventually([&] { return got.load() == 77; }));
    } else {
      stream->wakeReaders();  // nothing to read: the reader goes back to sleep
    }
    stop = true;
    reader.join();
    EXPECT_EQ(got.load(), publish ? 77 : -1);

    std::atomic<int> ready{0}, woken{0};
    std::vector<std::jthread> sleepers;
    for (int i = 0; i < 8; ++i) {
      sleepers.emplace_back([&, seen = stream->publications()] {
        ++ready;
        stream->waitForPublication(seen, 60000);
        ++woken;
      });
    }
    // Most of them asleep before the publication, not only starting after it.
    EXPECT_TRUE(test::eventually([&] { return ready.load() == 8; }));
    if (publish) {
      writeFrame(*stream, 78);
    } else {
      stream->wakeReaders();
    }
    EXPECT_TRUE(test::eventually([&] { return woken.load() == 8; }));
  }
}

// Takes every frame published to it, on the writer's thread: each must be
// the one after the last, and none may come once it is removed.
struct CheckedListener : JStreamListener {
  void onPublication(const uint8_t* frame) override {
    if (removed.load() || inCall.exchange(true)) {
      ++faults;
    }
    const int32_t number = payloadOf(frame);
    if (last >= 0 && number != last + 1) {
      ++faults;
    }
    last = number;
    ++calls;
    inCall = false;
  }
  std::atomic<bool> removed{false};
  std::atomic<bool> inCall{false};
  std::atomic<int> faults{0};
  std::atomic<int> calls{0};
  int32_t last = -1;
};

// One writer, several readers reading as fast as they can: each reader sees
// the frames in order, each at most once, every frame's payload intact, and
// counts exactly the frames it missed, whether publications wake it or only
// the poll finds them. With `churn`, two more readers and two listeners come
// and go meanwhile (the writer goes on for them): readers read in order,
// listeners get every frame in order from their first, and a listener removed
// is not being called and is called no more. Every reader's slot and extra
// buffer go with it.
void runWriterAndReaders(bool blocking, int readers, int frames, bool wake, bool churn = false) {
  SCOPED_TRACE(wake ? "woken on publication" : "the poll alone");
  auto stream = makeStream(blocking);
  stream->setWakeOnPublish(wake);
  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<StreamClient>> clients;
  for (int r = 0; r < readers; ++r) {
    clients.push_back(std::make_unique<StreamClient>());
    clients.back()->listen(stream.get());
  }
  std::vector<std::thread> threads;
  std::vector<int64_t> seen(static_cast<size_t>(readers), 0);
  // The first frame a reader read and, when that was frame 0, the second: a
  // gap after frame 0 is not counted as lost.
  std::vector<int32_t> firsts(static_cast<size_t>(readers), -1);
  std::atomic<int> faults{0};
  std::atomic<int> finished{0};
  for (int r = 0; r < readers; ++r) {
    threads.emplace_back([&, r] {
      StreamClient& client = *clients[static_cast<size_t>(r)];
      int32_t previous = -1;
      int32_t sequence = -1;
      while (uint8_t* frame = client.readNext(&stop, &sequence)) {
        if (payloadOf(frame) != sequence || sequence <= previous) {
          ++faults;
        }
        if (previous < 0 || previous == 0) {
          firsts[static_cast<size_t>(r)] = sequence;
          seen[static_cast<size_t>(r)] = 0;
        }
        previous = sequence;
        ++seen[static_cast<size_t>(r)];
        if (sequence == frames - 1) {
          break;
        }
      }
      client.unlock();
      ++finished;
    });
  }
  std::atomic<int> churning{churn ? 4 : 0};
  std::atomic<int32_t> written{-1};
  for (int t = 0; churn && t < 4; ++t) {
    threads.emplace_back([&, t] {
      StreamClient client;
      for (int round = 0; round < 200; ++round) {
        if (t < 2) {
          client.listen(stream.get());
          int32_t previous = -1;
          for (int k = 0; k < 5; ++k) {
            const Read read = tryRead(client);
            faults +=
                read.payload >= 0 && (read.payload != read.sequence || read.sequence <= previous);
            previous = std::max(previous, read.sequence);
          }
          client.listen(nullptr);
          continue;
        }
        CheckedListener listener;
        stream->addListener(&listener);
        EXPECT_TRUE(stream->hasReaders());
        const bool called = test::eventually([&] { return listener.calls.load() >= 2; }, 5000);
        stream->removeListener(&listener);
        listener.removed = true;
        if (!called || listener.inCall.load()) {
          ++faults;
          break;
        }
        // The writer goes on: a late call would now be counted.
        const int32_t after = listener.last;
        test::eventually([&] { return written.load() > after + 3; });
        faults += listener.faults.load();
      }
      --churning;
    });
  }
  for (int32_t i = 0; i < frames; ++i) {
    written = writeFrame(*stream, i);
  }
  EXPECT_TRUE(test::eventually([&] { return finished.load() == readers; }));
  // The readers above read up to the last frame; the churners need the writer to go on.
  for (int32_t i = frames; churning.load() > 0; ++i) {
    written = writeFrame(*stream, i);
  }
  stop = true;
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(faults.load(), 0);
  for (int r = 0; r < readers; ++r) {
    SCOPED_TRACE(r);
    const auto& client = *clients[static_cast<size_t>(r)];
    const int32_t first = firsts[static_cast<size_t>(r)];
    ASSERT_GE(first, 0);
    // Every frame after the first counted is either read or lost.
    EXPECT_EQ(seen[static_cast<size_t>(r)] - 1 + client.lostFrames(), frames - 1 - first);
    if (blocking) {
      EXPECT_EQ(client.lostFrames(), 0);
    }
  }
  clients.clear();
  EXPECT_FALSE(stream->hasReaders());
  EXPECT_EQ(stream->table()->readerBits.load(), 0u);
  EXPECT_EQ(buffersOf(stream->table()), 7);
}

TEST(StreamConcurrency, OneWriterAndReadersAndListenersComingAndGoing) {
  runWriterAndReaders(false, 8, 20000, true, true);
  runWriterAndReaders(false, 8, 20000, false);
  runWriterAndReaders(true, 4, 1000, true);
}

// A description built field by field: {offset, size, value}.
struct Field {
  size_t offset;
  size_t size;
  uint32_t value;
};

std::unique_ptr<StreamInfo> describe(std::vector<Field> fields, size_t infoSize = 84) {
  std::vector<uint8_t> bytes(infoSize, 0);
  fields.push_back({12, 4, static_cast<uint32_t>(infoSize)});
  for (const Field& f : fields) {
    for (size_t i = 0; i < f.size; ++i) {
      bytes[f.offset + i] = static_cast<uint8_t>(f.value >> (8 * i));
    }
  }
  return StreamInfo::fromBytes(bytes);
}

// A description comes from the wire: one shorter than the size it states is
// refused before anything reads past its end. (The buffer sizes taken from
// descriptions are driven by every receiver of the media layer's tests.)
// Compatibility fails on the first difference, with its text.
TEST(StreamInfo, ShortDescriptionsAreRefusedAndCompatibilityFailsOnTheFirstDifference) {
  const auto stereo = StreamInfo::makePcmStreamInfo(8000, 16, 2, 160);
  const std::vector<uint8_t> bytes(stereo->bytes().begin(), stereo->bytes().end() - 1);
  EXPECT_THROW(StreamInfo::fromBytes(bytes), JTextError);
  // Cut inside the header: refused before the size it states is read.
  EXPECT_EQ(test::thrownText([&] { StreamInfo::fromBytes(std::span(bytes).first(8)); }),
            "StreamInfo: description shorter than its header");

  const auto pcm = [](uint32_t rate) { return StreamInfo::makePcmStreamInfo(rate, 16, 1, 160); };
  const auto mp3 = [](uint32_t rate, uint32_t bitRate) {
    return StreamInfo::makeMp3StreamInfo(bitRate, rate, 1, 417);
  };
  // Video of a content; its picture is not compared before its content.
  const auto video = [](uint32_t content) {
    return describe({{0, 4, 1}, {4, 4, 3}, {8, 4, content}});
  };
  struct Case {
    const char* name;
    std::unique_ptr<StreamInfo> a, b;
    const char* error;  // null: compatible
  } cases[] = {
      {"MP3 at other rates", mp3(44100, 128000), mp3(22050, 32000), nullptr},
      {"PCM at another rate", pcm(8000), pcm(16000), "Incompatible stream: differing audio info"},
      {"PCM with extra bytes", pcm(8000),
       describe({{0, 4, 2}, {4, 4, 1}, {8, 4, 1001}, {16, 4, 160}, {36, 2, 2}}),
       "Incompatible stream: differing audio info"},
      {"PCM and MP3", pcm(8000), mp3(8000, 8000), "Incompatible stream: differing subtype"},
      {"audio and video", pcm(8000), video(1001), "Incompatible stream: differing type"},
      {"other content", video(1), video(2), "Incompatible stream: differing content"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(test::thrownText([&] { c.a->checkCompatible(*c.b); }), c.error ? c.error : "");
  }
}

}  // namespace
}  // namespace zq

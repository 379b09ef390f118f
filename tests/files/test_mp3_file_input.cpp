// MP3 files read as frames: descriptions at several rates (free format
// included), the trailers, seeking by frame and time, looping, the index
// built by reading and written back, and every way a file can be broken.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "file_test_support.h"
#include "files/mp3_file_input.h"
#include "helpers/log_capture.h"

namespace zq {
namespace {

using namespace test;

struct Mp3FileTest : FileInputTest {
  // The description of `path`, given back when the test ends.
  FileInfo& describe(const std::string& path) {
    FileInfo* info = getFileInfo(path);
    if (info == nullptr) {
      throw std::runtime_error("no description of " + path);
    }
    holds.emplace_back(info);
    return *info;
  }
  LogCapture log;
  std::vector<FileInfoHold> holds;  // released before the cache goes
};

// Files at each rate (free format included) and with each trailer: the
// description before reading (an index or properties found from the end,
// counts that lie not taken), then reading through, which builds the index
// that a file without one lacked.
TEST_F(Mp3FileTest, DescribesReadsAndIndexesFilesAtEachRateAndWithEachTrailer) {
  const std::vector<Bytes> frames128 = encodeFrames(128000, 12);
  const Bytes audio128 = join(frames128);
  const std::vector<TimeIndexEntry> index = indexOf(frames128, 5000, 30000);
  std::vector<TimeIndexEntry> backwards = index;
  backwards[4].time = 1;
  struct Case {
    const char* name;
    uint32_t bitRate;
    std::vector<Bytes> trailers;
    bool indexed;
    std::string properties;
    size_t lyingBytes = 0;  // of trailers not taken, counted as data
  };
  const Case cases[] = {
      {"24k", 24000, {}, false, ""},
      {"144k, free format", 144000, {}, false, ""},
      {"time index", 128000, {indexTrailer(index, 12)}, true, ""},
      {"properties, index and ID3",
       128000,
       {propertyTrailer(std::string("title=\"hall\", n=3\0=2\0a=1\0", 25)), indexTrailer(index, 12),
        id3Tag()},
       true,
       "a=1, n=3, title=\"hall\""},
      {"index count past the start", 128000, {indexTrailer(index, 5000)}, false, "", 12 * 16 + 28},
      {"property length past the start", 128000, {propertyTrailer("a=1", 100000)}, false, "", 15},
      {"index whose times go back", 128000, {indexTrailer(backwards, 12)}, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<Bytes> frames = c.bitRate == 128000 ? frames128 : encodeFrames(c.bitRate, 12);
    ASSERT_EQ(frames.size(), 12u);
    const Bytes audio = join(frames);
    Bytes bytes = join({audio, join(c.trailers)});
    FileInfo& info = describe(write(std::string(c.name) + ".mp3", bytes));
    const FileDescription& d = *info.description();
    const StreamInfo& s = d.streamInfo();
    uint32_t rate = 0;
    uint32_t channels = 0;
    lookupBitRate(c.bitRate, &rate, &channels, nullptr);
    EXPECT_EQ(s.content(), StreamInfo::kMp3);
    EXPECT_EQ(s.samplesPerSecond(), rate);
    EXPECT_EQ(s.channels(), channels);
    EXPECT_EQ(s.averageBytesPerSecond(), c.bitRate / 8);
    EXPECT_EQ(s.mp3BlockSize(), frames[0].size());
    EXPECT_EQ(d.indexKind(),
              c.indexed ? FileDescription::kOffsetsAndTimes : FileDescription::kNoIndex);
    EXPECT_EQ(d.buildingIndex(), !c.indexed);
    EXPECT_EQ(d.properties().toString(), c.properties);
    EXPECT_EQ(d.dataSize(), audio.size() + c.lyingBytes);
    int64_t start = -1;
    int64_t end = -1;
    info.getTimeRange(start, end);
    if (c.indexed) {
      EXPECT_EQ(start, 5000);
      EXPECT_EQ(end, 5000 + 11 * 30000);
    } else if (c.trailers.empty()) {
      EXPECT_EQ(end, static_cast<int64_t>(audio.size()) * 1000000 / (c.bitRate / 8));
    }

    const auto input = info.openInput();
    const ReadThrough r = readThrough(*input);
    EXPECT_EQ(r.last, FileInput::kEnd);
    ASSERT_EQ(r.frames, frames);
    const int64_t samples = rate == 44100 ? 1152 : 576;
    for (size_t k = 0; k < r.times.size(); ++k) {
      const int64_t step = static_cast<int64_t>(k);
      EXPECT_EQ(r.times[k], c.indexed ? 5000 + step * 30000 : step * samples * 1000000 / rate);
    }
    // The index a read through builds holds the frames read (the corpus
    // replay checks its offsets); the time range ends at the last one.
    EXPECT_EQ(d.indexKind(), FileDescription::kOffsetsAndTimes);
    EXPECT_EQ(d.frameCount(), 12);
    info.getTimeRange(start, end);
    EXPECT_EQ(end, r.times.back());
  }
}

TEST_F(Mp3FileTest, SeeksByFrameAndTimeToTheRightFrame) {
  const std::vector<Bytes> frames = encodeFrames(24000, 40);
  ASSERT_EQ(frames.size(), 40u);
  // Uneven times (a step of 26 ms, then 1 ms more every third frame) and a
  // sync point every fourth frame.
  std::vector<TimeIndexEntry> index = indexOf(frames, 1000, 26000, 4);
  for (size_t k = 0; k + 1 < index.size(); ++k) {
    index[k].time += static_cast<int64_t>(k / 3) * 1000;
  }
  Bytes bytes = join(frames);
  const Bytes trailer = indexTrailer(index, 40);
  bytes.insert(bytes.end(), trailer.begin(), trailer.end());
  FileInfo& info = describe(write("seek.mp3", bytes));
  const auto timeOf = [&](int k) { return index[static_cast<size_t>(k)].time; };
  // One frame at 22050 Hz lasts 576000 / 22050 ms, 26122 us.
  struct Case {
    const char* name;
    bool byTime;
    int64_t target;
    bool toSync;
    int64_t frame;  // landed on, or -1 with `error`
    const char* error = "";
  };
  const Case cases[] = {
      {"frame", false, 13, false, 13},
      {"frame back to its sync point", false, 15, true, 12},
      {"frame back to the first frame", false, 3, true, 0},
      {"last frame", false, 39, false, 39},
      {"frame past the end", false, 40, false, -1, "seek past end"},
      {"negative frame", false, -1, false, -1, "seek before start"},
      {"exact time", true, timeOf(21), false, 21},
      {"time just before a frame", true, timeOf(22) - 1, false, 21},
      {"time back to its sync point", true, timeOf(23) + 10, true, 20},
      {"time before the first", true, timeOf(0) - 1, false, -1, "seek before start"},
      {"time within the last frame", true, timeOf(39) + 26121, false, 39},
      {"time one frame past the last", true, timeOf(39) + 26123, false, -1, "seek past end"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto input = info.openInput();
    int64_t frame = c.byTime ? -7 : c.target;
    uint64_t offset = 0;
    const std::string error = thrownText([&] {
      offset = c.byTime ? input->seekToTime(c.target, frame, c.toSync)
                        : input->seekToFrame(frame, c.toSync);
    });
    EXPECT_EQ(error, c.error);
    if (c.frame < 0) {
      continue;
    }
    EXPECT_EQ(frame, c.frame);
    EXPECT_EQ(offset, index[static_cast<size_t>(c.frame)].fileOffset());
    bool got = false;
    int64_t time = 0;
    bool sync = false;
    ASSERT_EQ(input->nextFrame(&got, nullptr, &time, &sync), FileInput::kFrame);
    EXPECT_EQ(input->frameNumber(), c.frame);
    EXPECT_EQ(time, timeOf(static_cast<int>(c.frame)));
    EXPECT_EQ(sync, c.frame % 4 == 0);
    Bytes got_bytes(2000);
    got_bytes.resize(input->read(got_bytes.data(), 2000));
    EXPECT_EQ(got_bytes, frames[static_cast<size_t>(c.frame)]);
  }
}

TEST_F(Mp3FileTest, LoopsToTheFirstFrameOrEnds) {
  const std::vector<Bytes> frames = encodeFrames(128000, 3);
  const Bytes cutFrame(frames[0].begin(), frames[0].begin() + 100);
  struct Case {
    const char* name;
    Bytes file;
    bool looping;
    std::vector<int> results;  // of successive nextFrame calls
    std::vector<int64_t> frameNumbers;
  };
  const Case cases[] = {
      {"looping", join(frames), true, {0, 0, 0, 1, 0}, {0, 1, 2, 0, 1}},
      {"looping after ID3v2 tags, one with a footer",
       join({id3v2Tag(300, true), id3v2Tag(21), join(frames)}),
       true,
       {0, 0, 0, 1, 0},
       {0, 1, 2, 0, 1}},
      {"not looping", join(frames), false, {0, 0, 0, -1, -1}, {0, 1, 2, 2, 2}},
      {"looping, no whole frame", cutFrame, true, {-2, -2}, {-1, -1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto input = describe(write(std::string(c.name) + ".mp3", c.file)).openInput();
    input->setLooping(c.looping);
    for (size_t i = 0; i < c.results.size(); ++i) {
      bool got = false;
      EXPECT_EQ(input->nextFrame(&got, nullptr, nullptr, nullptr), c.results[i]) << "call " << i;
      EXPECT_EQ(got, c.results[i] >= 0);
      EXPECT_EQ(input->frameNumber(), c.frameNumbers[i]) << "call " << i;
      if (c.results[i] == FileInput::kLooped) {
        Bytes first(1000);
        first.resize(input->read(first.data(), 1000));
        EXPECT_EQ(first, frames[0]);
      }
    }
  }
}

// A synthetic MPEG-1 frame at 44100 Hz, mono, of `size` bytes, whose third
// header byte is `rateAndPadding` (0x00 free format, 0x90 128 kbit/s, 0x92
// the same padded).
Bytes syntheticFrame(size_t size, uint8_t rateAndPadding = 0x00) {
  Bytes b(size, 0);
  b[0] = 0xFF;
  b[1] = 0xFB;
  b[2] = rateAndPadding;
  b[3] = 0xC4;
  return b;
}
Bytes freeFrame(size_t size) {
  return syntheticFrame(size);
}

TEST_F(Mp3FileTest, BrokenFilesEndTheDataOrAreRefused) {
  const std::vector<Bytes> frames = encodeFrames(128000, 10);
  const Bytes audio = join(frames);
  Bytes junk = join({frames[0], frames[1], frames[2], Bytes(50, 0x11), frames[3]});
  Bytes cutInFrame(audio.begin(), audio.end() - 200);
  struct Case {
    const char* name;
    Bytes file;
    bool described;
    const char* error;
    size_t frames;
    std::vector<std::string> logged = {};  // at level 11 (the line end shows as a blank)
  };
  const Case cases[] = {
      {"empty", {}, false, "", 0},
      {"sync but not layer III", {0xFF, 0xF7, 0x90, 0x64, 0, 0}, false, "not an mp3 file", 0},
      // An ID3v2 size is skipped, never trusted to read or allocate.
      {"ID3v2 size past the end", join({id3v2Tag(1u << 27, false, true), audio}), false,
       "not an mp3 file", 0},
      {"junk between frames", junk, true, "", 3},
      {"cut in the last frame", cutInFrame, true, "", 9},
      {"free-format frames longer than a buffer",
       join({freeFrame(1985), freeFrame(1985)}),
       true,
       "",
       0,
       {"Invalid frame header in file %s: stream number=1, frame size=1985 bytes",
        "Invalid frame header in file %s: frame number=0, frame size=1985 bytes"}},
      {"padded frames one byte longer",
       join({syntheticFrame(418, 0x92), syntheticFrame(417, 0x90), syntheticFrame(418, 0x92)}),
       true, "", 3},
      {"padded free-format frames",
       join({syntheticFrame(401, 0x02), freeFrame(400), syntheticFrame(401, 0x02), freeFrame(400)}),
       true, "", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write(std::string(c.name) + ".mp3", c.file);
    log.clear();
    FileInfo* info = nullptr;
    EXPECT_EQ(thrownText([&] { info = getFileInfo(path); }), c.error);
    ASSERT_EQ(info != nullptr, c.described);
    if (info == nullptr) {
      continue;
    }
    holds.emplace_back(info);
    const auto input = info->openInput();
    EXPECT_EQ(readThrough(*input).frames.size(), c.frames);
    EXPECT_EQ(info->description()->frameCount(), static_cast<int64_t>(c.frames));
    const auto records = log.records();
    for (std::string line : c.logged) {
      line.replace(line.find("%s"), 2, path);
      EXPECT_EQ(std::ranges::count_if(records,
                                      [&](const LogCapture::Record& r) {
                                        return r.level == 11 && r.text.find(line) == 0;
                                      }),
                1)
          << line;
    }
  }
}

TEST_F(Mp3FileTest, FinishIndexWritesATrailerThatReadsBack) {
  const std::vector<Bytes> frames = encodeFrames(64000, 20);
  Bytes bytes = join(frames);
  const Bytes props = propertyTrailer(std::string("title=\"hall\"\0", 13));
  bytes.insert(bytes.end(), props.begin(), props.end());
  const Bytes tag = id3Tag();
  bytes.insert(bytes.end(), tag.begin(), tag.end());
  const std::string path = write("finish.mp3", bytes);
  FileInfo* info = getFileInfo(path);
  ASSERT_NE(info, nullptr);
  {
    // Seeking needs the index, which reading through (or finishing) builds.
    const auto plain = info->openInput();
    int64_t frame = 0;
    EXPECT_EQ(thrownText([&] { plain->seekToFrame(frame, false); }), "time index not available");
    EXPECT_EQ(thrownText([&] { plain->seekToTime(0, frame, false); }), "time index not available");
  }
  info->finishIndex(true);
  const std::vector<TimeIndexEntry> built = info->description()->index();
  int64_t fourth = 4;
  EXPECT_EQ(info->seekFrame(fourth, false), built[4].fileOffset());
  releaseFileInfo(info, true);

  FileInfo& again = describe(path);
  const FileDescription& d = *again.description();
  EXPECT_EQ(d.indexKind(), FileDescription::kOffsetsAndTimes);
  EXPECT_FALSE(d.buildingIndex());
  EXPECT_EQ(d.frameCount(), 20);
  EXPECT_EQ(d.properties().toString(), "title=\"hall\"");
  const std::vector<TimeIndexEntry> read = d.index();
  ASSERT_EQ(read.size(), 21u);
  for (size_t k = 0; k < read.size(); ++k) {
    EXPECT_EQ(read[k].offset, built[k].offset) << k;
    EXPECT_EQ(read[k].time, built[k].time) << k;
  }
  EXPECT_EQ(read.back().offset, join(frames).size());
  EXPECT_EQ(std::filesystem::file_size(path), bytes.size() + 21 * 16 + 12);
  const auto input = again.openInput();
  EXPECT_EQ(readThrough(*input).frames, frames);
}

}  // namespace
}  // namespace zq

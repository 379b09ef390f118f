// The file inputs: the file type read from the first bytes; the
// process-wide cache of descriptions, also shared by inputs on several
// threads; MP3 files read as frames (each rate, the trailers, tags in front,
// broken files, looping, seeks, the index built by reading and written
// back); WAVE files read in 25 ms blocks (padding, codings, a file still
// being written, the formats refused); and the fuzzers' corpora
// (ZQ_MP3_FILE_CORPUS_DIR, ZQ_WAVE_FILE_CORPUS_DIR) replayed through their
// own property checks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <set>
#include <thread>

#include "file_input_property.h"
#include "file_test_support.h"
#include "files/file_type.h"
#include "files/mp3_file_input.h"
#include "files/wave_file_input.h"
#include "helpers/log_capture.h"

namespace zq {
namespace {

using namespace test;

TEST(FileType, ComesFromTheFirstBytes) {
  struct Case {
    const char* name;
    Bytes first;
    FileType type;
  };
  const Case cases[] = {
      {"WAVE", {'R', 'I', 'F', 'F', 1, 2, 3, 4, 'W', 'A', 'V', 'E'}, FileType::kWave},
      {"AVI", {'R', 'I', 'F', 'F', 1, 2, 3, 4, 'A', 'V', 'I', ' '}, FileType::kAvi},
      {"RIFF cut before its form", {'R', 'I', 'F', 'F', 1, 2}, FileType::kAvi},
      {"ASF", {0xD1, 0x29, 0xE2, 0xD6, 0}, FileType::kAsf},
      {"MPEG-1 Layer III", {0xFF, 0xFB, 0x90, 0x64}, FileType::kMp3},
      {"sync bits short of three", {0xFF, 0xC0, 0, 0}, FileType::kUnreadable},
      {"ID3v2 header cut", {'I', 'D', '3', 4, 0, 0, 0, 0, 2}, FileType::kUnreadable},
      {"ID3v2 size byte over 0x7F", {'I', 'D', '3', 3, 0, 0, 0, 0x80, 0, 0}, FileType::kUnreadable},
      {"ID3v2 version 0xFF", {'I', 'D', '3', 0xFF, 0, 0, 0, 0, 0, 0}, FileType::kUnreadable},
      {"three bytes", {0xFF, 0xFB, 0x90}, FileType::kUnreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(fileTypeOf(c.first), c.type);
  }
}

// The cache exists once, between its creation and its destruction; what
// cannot be opened as a regular file is refused (a FIFO without waiting for
// a writer). A description is shared, evicted least recently used first,
// taken out at once when its deletion is asked (its input keeps it), and
// one held when the cache goes outlives it (the sanitizer sees a leak or a
// double delete).
TEST(FileInfoCache, SharesEvictsDeletesAndOutlivesTheCache) {
  const TempDir dir;
  const ScopedRegistryDir registry;
  std::vector<std::string> paths;
  for (int i = 0; i < 3; ++i) {
    paths.push_back((dir.path() / ("f" + std::to_string(i) + ".wav")).string());
    writeFile(paths.back(),
              riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", samples(800))}));
  }
  EXPECT_EQ(thrownText([&] { getFileInfo(paths[0]); }), "FileInfo cache not initialized");
  initFileInfoCache(2);
  EXPECT_EQ(thrownText([] { initFileInfoCache(2); }), "File info cache already initialized");
  const std::string fifo = (dir.path() / "fifo.mp3").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {(dir.path() / "missing.wav").string(), dir.str(), fifo}) {
    EXPECT_NE(thrownText([&] { getFileInfo(path); }), "") << path;
  }
  FileInfo* first = getFileInfo(paths[0]);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(getFileInfo(paths[0]), first);
  EXPECT_EQ(&first->openInput()->description(), first->description().get());
  releaseFileInfo(first, false);
  releaseFileInfo(first, false);
  // Each file used once more, then idle: the second is the least recently
  // used when the third comes.
  for (const int k : {1, 0, 2}) {
    FileInfo* info = getFileInfo(paths[k]);
    info->openInput();
    releaseFileInfo(info, false);
  }
  FileInfo* kept = getFileInfo(paths[0]);
  EXPECT_EQ(kept->inputsOpened(), 2);
  auto input = kept->openInput();
  releaseFileInfo(kept, true);
  FileInfo* evicted = getFileInfo(paths[1]);
  EXPECT_EQ(evicted->inputsOpened(), 0);
  FileInfo* fresh = getFileInfo(paths[0]);
  EXPECT_EQ(fresh->inputsOpened(), 0);

  destroyFileInfoCache();
  releaseFileInfo(fresh, false);
  releaseFileInfo(evicted, false);
  EXPECT_EQ(input->nextFrame(nullptr, nullptr, nullptr, nullptr), FileInput::kFrame);
  Bytes block(400);
  EXPECT_EQ(input->read(block.data(), 400), 400u);
  EXPECT_EQ(block, samples(400));
  input.reset();  // the last holder deletes it
}

// Inputs on several threads, opened while the others open theirs and read
// at once, share one description and build one index.
TEST_F(FileInputTest, ThreadsShareADescriptionAndBuildOneIndex) {
  const std::vector<Bytes> frames = encodeFrames(64000, 150);
  const std::string path = write("shared.mp3", join(frames));
  constexpr size_t kThreads = 4;
  std::vector<FileInfo*> infos(kThreads);
  std::vector<ReadThrough> reads(kThreads);
  std::latch opened(kThreads);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      infos[t] = getFileInfo(path);
      const auto input = infos[t]->openInput();
      opened.arrive_and_wait();
      reads[t] = readThrough(*input);
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (size_t t = 0; t < kThreads; ++t) {
    EXPECT_EQ(infos[t], infos[0]) << t;
    EXPECT_EQ(reads[t].frames, frames) << t;
  }
  EXPECT_EQ(infos[0]->inputsOpened(), static_cast<int>(kThreads));
  // The index of the frames read, each once, every one a sync point, compared
  // as the trailer's bytes.
  std::vector<TimeIndexEntry> expected = indexOf(frames, 0, 0);
  for (size_t k = 0; k < frames.size(); ++k) {
    expected[k].time = reads[0].times.at(k);
  }
  EXPECT_EQ(indexTrailer(infos[0]->description()->index(), 0), indexTrailer(expected, 0));
  for (FileInfo* info : infos) {
    releaseFileInfo(info, false);
  }
}

// ---- MP3 ---------------------------------------------------------------------

struct Mp3FileTest : FileInputTest {
  // The description of `path`, or null; given back when the test ends.
  FileInfo* describe(const std::string& path) {
    FileInfo* info = getFileInfo(path);
    holds.emplace_back(info);
    return info;
  }
  LogCapture log{1u << 11};         // level 11 alone
  std::vector<FileInfoHold> holds;  // released before the cache goes
};

// A synthetic MPEG-1 frame at 44100 Hz, mono, of `size` bytes, whose third
// header byte is `rateAndPadding` (0x00 free format, 0x90 128 kbit/s, 0x92
// the same padded).
Bytes syntheticFrame(size_t size, uint8_t rateAndPadding = 0x00) {
  Bytes b{0xFF, 0xFB, rateAndPadding, 0xC4};
  b.resize(size, 0);
  return b;
}

// Each file described before reading (an index or properties found from the
// end, counts that lie not taken; no seeking without an index), read
// through (which builds the index a file without one lacked, and may write
// it into the file, where it reads back), then looped to its first frame
// past the tags in front. Broken files end the data or are refused; an
// ID3v2 size is skipped, never trusted to read or allocate.
TEST_F(Mp3FileTest, DescribesReadsIndexesAndLoopsEachFile) {
  const std::vector<Bytes> frames = encodeFrames(128000, 12);
  const Bytes audio = join(frames);
  const std::vector<TimeIndexEntry> index = indexOf(frames, 5000, 30000);
  std::vector<TimeIndexEntry> backwards = index;
  backwards[4].time = 1;
  const std::vector<Bytes> padded = {syntheticFrame(418, 0x92), syntheticFrame(417, 0x90),
                                     syntheticFrame(418, 0x92)};
  const std::vector<Bytes> paddedFree = {syntheticFrame(401, 0x02), syntheticFrame(400),
                                         syntheticFrame(401, 0x02), syntheticFrame(400)};
  const Bytes longFree = syntheticFrame(1985);
  struct Case {
    const char* name;
    Bytes file;
    std::vector<Bytes> frames;  // read through
    uint32_t bitRate = 0;       // of an encoded file, whose description is checked
    bool indexed = false;
    std::string properties = "";
    uint64_t lyingBytes = 0;               // of trailers not taken, counted as data
    bool written = false;                  // the built index written into the file
    std::vector<std::string> logged = {};  // at level 11 (the line end shows as a blank)
  };
  const Case cases[] = {
      {"24k", {}, encodeFrames(24000, 12), 24000},
      {"144k, free format", {}, encodeFrames(144000, 12), 144000},
      {"time index", join({audio, indexTrailer(index, 12)}), frames, 128000, true},
      {"properties, index and ID3",
       join({audio, propertyTrailer(std::string("title=\"hall\", n=3\0=2\0a=1\0", 25)),
             indexTrailer(index, 12), id3Tag()}),
       frames, 128000, true, "a=1, n=3, title=\"hall\""},
      {"index count past the start", join({audio, indexTrailer(index, 5000)}), frames, 128000,
       false, "", 12 * 16 + 28},
      {"property length past the start", join({audio, propertyTrailer("a=1", 100000)}), frames,
       128000, false, "", 15},
      {"index whose times go back", join({audio, indexTrailer(backwards, 12)}), frames, 128000},
      {"properties and ID3, the index written",
       join({audio, propertyTrailer(std::string("title=\"hall\"\0", 13)), id3Tag()}), frames,
       128000, false, "title=\"hall\"", 0, true},
      {"after ID3v2 tags, one with a footer", join({id3v2Tag(300, true), id3v2Tag(21), audio}),
       frames, 128000},
      {"junk between frames",
       join({frames[0], frames[1], frames[2], Bytes(50, 0x11), frames[3]}),
       {frames[0], frames[1], frames[2]}},
      {"cut in the last frame",
       Bytes(audio.begin(), audio.end() - 200),
       {frames.begin(), frames.end() - 1}},
      {"padded frames one byte longer", join(padded), padded},
      {"padded free-format frames", join(paddedFree), paddedFree},
      {.name = "free-format frames longer than a buffer",
       .file = join({longFree, longFree}),
       .frames = {},
       .logged = {"Invalid frame header in file %s: stream number=1, frame size=1985 bytes",
                  "Invalid frame header in file %s: frame number=0, frame size=1985 bytes"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = c.file.empty() ? join(c.frames) : c.file;
    const std::string path = write(std::string(c.name) + ".mp3", bytes);
    log.clear();
    FileInfo* info = describe(path);
    ASSERT_NE(info, nullptr);
    const FileDescription& d = *info->description();
    uint32_t rate = 0;
    int64_t start = -1;
    int64_t end = -1;
    info->getTimeRange(start, end);
    if (c.bitRate != 0) {
      const StreamInfo& s = d.streamInfo();
      uint32_t channels = 0;
      lookupBitRate(c.bitRate, &rate, &channels, nullptr);
      EXPECT_EQ(s.content(), StreamInfo::kMp3);
      EXPECT_EQ(s.samplesPerSecond(), rate);
      EXPECT_EQ(s.channels(), channels);
      EXPECT_EQ(s.averageBytesPerSecond(), c.bitRate / 8);
      EXPECT_EQ(s.mp3BlockSize(), c.frames[0].size());
      EXPECT_EQ(d.properties().toString(), c.properties);
      const uint64_t audioSize = join(c.frames).size();
      EXPECT_EQ(d.dataSize(), audioSize + c.lyingBytes);
      if (c.indexed) {
        EXPECT_EQ(start, 5000);
        EXPECT_EQ(end, 5000 + 11 * 30000);
      } else if (c.file.empty()) {
        EXPECT_EQ(end, static_cast<int64_t>(audioSize) * 1000000 / (c.bitRate / 8));
      }
    }
    EXPECT_EQ(d.indexKind(),
              c.indexed ? FileDescription::kOffsetsAndTimes : FileDescription::kNoIndex);
    EXPECT_EQ(d.buildingIndex(), !c.indexed);

    const auto input = info->openInput();
    int64_t frame = 0;
    EXPECT_EQ(thrownText([&] { input->seekToFrame(frame, false); }),
              c.indexed ? "" : "time index not available");
    const ReadThrough r = readThrough(*input);
    ASSERT_EQ(r.frames, c.frames);
    for (size_t k = 0; rate != 0 && k < r.times.size(); ++k) {
      const int64_t step = static_cast<int64_t>(k);
      const int64_t samples = rate == 44100 ? 1152 : 576;
      EXPECT_EQ(r.times[k], c.indexed ? 5000 + step * 30000 : step * samples * 1000000 / rate);
    }
    // The index a read through builds holds the frames read (the corpus
    // replay checks its offsets); the time range ends at the last one.
    EXPECT_EQ(d.indexKind(), FileDescription::kOffsetsAndTimes);
    EXPECT_EQ(d.frameCount(), static_cast<int64_t>(c.frames.size()));
    if (!r.times.empty()) {
      info->getTimeRange(start, end);
      EXPECT_EQ(end, r.times.back());
    }
    for (std::string line : c.logged) {
      line.replace(line.find("%s"), 2, path);
      EXPECT_EQ(log.count(line), 1u) << line;
    }
    // Looping, the end is followed by the first frame past the tags in front
    // (its result and number are the corpus replay's property).
    input->setLooping(true);
    bool got = false;
    input->nextFrame(&got, nullptr, nullptr, nullptr);
    Bytes first(2000);
    first.resize(got ? input->read(first.data(), 2000) : 0);
    EXPECT_EQ(first, c.frames.empty() ? Bytes{} : c.frames[0]);
    if (c.written) {
      // After the properties, the ID3 tag kept last.
      const std::vector<TimeIndexEntry> built = d.index();
      info->finishIndex(true);
      releaseFileInfo(holds.back().release(), true);
      FileInfo& again = *describe(path);
      EXPECT_FALSE(again.description()->buildingIndex());
      EXPECT_EQ(again.description()->properties().toString(), c.properties);
      // Compared as the trailer's bytes: every offset, sync flag and time.
      EXPECT_EQ(indexTrailer(again.description()->index(), 0), indexTrailer(built, 0));
      EXPECT_EQ(std::filesystem::file_size(path), bytes.size() + 13 * 16 + 12);
      EXPECT_EQ(readThrough(*again.openInput()).frames, c.frames);
    }
  }
}

// The branches of the seeks and the last frame's end (the corpus replay's
// property checks seeks by frame and time over every file it describes).
TEST_F(Mp3FileTest, SeeksByFrameAndTimeToTheRightFrame) {
  const std::vector<Bytes> frames = encodeFrames(24000, 40);
  ASSERT_EQ(frames.size(), 40u);
  // Uneven times (a step of 26 ms, then 1 ms more every third frame) and a
  // sync point every fourth frame.
  std::vector<TimeIndexEntry> index = indexOf(frames, 1000, 26000, 4);
  for (size_t k = 0; k + 1 < index.size(); ++k) {
    index[k].time += static_cast<int64_t>(k / 3) * 1000;
  }
  FileInfo& info = *describe(write("seek.mp3", join({join(frames), indexTrailer(index, 40)})));
  const auto timeOf = [&](int64_t k) { return index[static_cast<size_t>(k)].time; };
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
      {"frame back to its sync point", false, 15, true, 12},
      {"frame back to the first frame", false, 3, true, 0},
      {"frame past the end", false, 40, false, -1, "seek past end"},
      {"negative frame", false, -1, false, -1, "seek before start"},
      {"exact time", true, timeOf(21), false, 21},
      {"time back to its sync point", true, timeOf(23) + 10, true, 20},
      {"time within the last frame", true, timeOf(39) + 26121, false, 39},
      {"time one frame past the last", true, timeOf(39) + 26123, false, -1, "seek past end"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto input = info.openInput();
    int64_t frame = c.byTime ? -7 : c.target;
    uint64_t offset = 0;
    EXPECT_EQ(thrownText([&] {
                offset = c.byTime ? input->seekToTime(c.target, frame, c.toSync)
                                  : input->seekToFrame(frame, c.toSync);
              }),
              c.error);
    if (c.frame < 0) {
      continue;
    }
    EXPECT_EQ(frame, c.frame);
    EXPECT_EQ(offset, index[static_cast<size_t>(c.frame)].fileOffset());
    int64_t time = 0;
    bool sync = false;
    ASSERT_EQ(input->nextFrame(nullptr, nullptr, &time, &sync), FileInput::kFrame);
    EXPECT_EQ(input->frameNumber(), c.frame);
    EXPECT_EQ(time, timeOf(c.frame));
    EXPECT_EQ(sync, c.frame % 4 == 0);
    Bytes got(2000);
    got.resize(input->read(got.data(), 2000));
    EXPECT_EQ(got, frames[static_cast<size_t>(c.frame)]);
  }
}

// ---- WAVE --------------------------------------------------------------------

using WaveInputTest = FileInputTest;

// `format` followed by a cbSize field and `extra`.
Bytes fmtWithExtra(Bytes format, uint16_t cbSize, const Bytes& extra = {}) {
  put16(format, cbSize);
  format.insert(format.end(), extra.begin(), extra.end());
  return format;
}

TEST_F(WaveInputTest, ReadsBlocksPaddedWithSilence) {
  struct Case {
    const char* name;
    Bytes file;
    int64_t blocks;
    uint32_t blockSize;
    size_t dataBytes;  // before the padding
    uint8_t silence;
    int64_t blockMicroseconds;
    uint16_t tag = StreamInfo::kFormatPcm;  // of the description
    Bytes extra = {};                       // the description's bytes from offset 38
  };
  const Bytes alaw = riff({chunk("fmt ", fmtWithExtra(fmt(6, 1, 8000, 8), 2, {0xAB, 0xCD})),
                           chunk("data", samples(300))});
  const Case cases[] = {
      {"8 kHz 16-bit mono",
       riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", samples(1000))}), 3, 400, 1000, 0,
       25000},
      {"8-bit silence is 0x80",
       riff({chunk("fmt ", fmt(1, 1, 8000, 8)), chunk("data", samples(450))}), 3, 200, 450, 0x80,
       25000},
      {"44.1 kHz stereo, chunks around",
       riff({chunk("LIST", samples(7)), chunk("fmt ", fmt(1, 2, 44100, 16)),
             chunk("data", samples(4 * 1102 * 2)), chunk("junk", samples(5))}),
       2, 4 * 1102, 4 * 1102 * 2, 0, 24988},
      {"no samples", riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", {}, 400)}), 0, 400, 0,
       0, 25000},
      {"A-law with its extra bytes", alaw, 2, 200, 300, 0x80, 25000, 6, {0xAB, 0xCD}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FileInfoHold info(getFileInfo(write(std::string(c.name) + ".wav", c.file)));
    ASSERT_NE(info, nullptr);
    const FileDescription& d = *info->description();
    EXPECT_EQ(d.frameCount(), c.blocks);
    const StreamInfo& s = d.streamInfo();
    EXPECT_EQ(s.formatTag(), c.tag);
    EXPECT_EQ(s.content(), c.tag == StreamInfo::kFormatPcm ? StreamInfo::kPcm : 0u);
    EXPECT_EQ(s.extraSize(), c.extra.size());
    ASSERT_EQ(s.infoSize(), StreamInfo::kPcmInfoSize + c.extra.size());
    EXPECT_TRUE(std::equal(c.extra.begin(), c.extra.end(), s.bytes().begin() + 38));
    EXPECT_EQ(s.blockAlign() * s.chunk(), c.blockSize);
    EXPECT_EQ(s.streamBufferSize(), c.blockSize + 32);
    EXPECT_EQ(d.attributes().toString(", "), "allowRecording=1, original=1, crc=0, scrambling=-1");
    const ReadThrough r = readThrough(*info->openInput());
    ASSERT_EQ(r.frames.size(), static_cast<size_t>(c.blocks));
    const Bytes all = join(r.frames);
    ASSERT_EQ(all.size(), static_cast<size_t>(c.blocks) * c.blockSize);
    // The data read back, and looping to block 0, are the corpus replay's
    // property; the value of silence is not.
    EXPECT_TRUE(std::all_of(all.begin() + static_cast<long>(c.dataBytes), all.end(),
                            [&](uint8_t b) { return b == c.silence; }));
    for (size_t k = 0; k < r.times.size(); ++k) {
      EXPECT_EQ(r.times[k], static_cast<int64_t>(k) * c.blockMicroseconds) << k;
    }
  }
}

// Refused: nothing described, with the reason when there is one. An ID3v2
// size is skipped, never trusted to read or allocate; nothing is sized from
// a WAVE format the system cannot play (the header walk's own refusals are
// the audio layer's test).
TEST_F(FileInputTest, RefusesWhatItCannotRead) {
  struct Case {
    const char* name;
    Bytes file;
    const char* error;
  };
  const Bytes pcm = fmt(1, 1, 8000, 16);
  const Case cases[] = {
      {"empty.mp3", {}, ""},
      {"not layer III.mp3", {0xFF, 0xF7, 0x90, 0x64, 0, 0}, "not an mp3 file"},
      {"ID3v2 size past the end.mp3",
       join({id3v2Tag(1u << 27, false, true), join(encodeFrames(128000, 2))}), "not an mp3 file"},
      {"no data.wav", riff({chunk("fmt ", pcm)}), "invalid wave format"},
      {"18-byte PCM format with extra bytes.wav",
       riff({chunk("fmt ", fmtWithExtra(pcm, 2)), chunk("data", samples(8))}),
       "invalid wave format"},
      {"coded format short of its extra bytes.wav",
       riff(
           {chunk("fmt ", fmtWithExtra(fmt(6, 1, 8000, 8), 3, {1, 2})), chunk("data", samples(8))}),
       "invalid wave format"},
      {"2 GHz.wav", riff({chunk("fmt ", fmt(1, 1, 2000000000, 16)), chunk("data", samples(8))}),
       "unsupported wave format: sampling rate 2000000000 Hz is outside 4000 to 192000 Hz"},
      {"coded blocks over 1 MiB.wav",
       riff({chunk("fmt ", fmt(2, 1, 8000, 4, 8192)), chunk("data", samples(8))}),
       "unsupported wave format: a block of 200 samples (1638400 bytes) is longer than one "
       "second or 1048576 bytes"},
      {"too many extra bytes.wav",
       riff({chunk("fmt ", fmtWithExtra(fmt(6, 1, 8000, 8), 65, Bytes(65))),
             chunk("data", samples(8))}),
       "unsupported wave format: 65 extra format bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FileInfo* info = nullptr;
    EXPECT_EQ(thrownText([&] { info = getFileInfo(write(c.name, c.file)); }), c.error);
    EXPECT_EQ(info, nullptr);
  }
}

TEST_F(WaveInputTest, AGrowingFileIsReadAsFarAsItHasGrown) {
  const Bytes head = riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", {}, 0)});
  const std::string path = write("growing.wav", head);
  const FileInfoHold info(getFileInfo(path));
  ASSERT_NE(info, nullptr);
  EXPECT_TRUE(info->description()->growing());
  EXPECT_EQ(info->description()->frameCount(), 0);
  const auto input = info->openInput();
  input->setLooping(false);
  EXPECT_EQ(input->nextFrame(nullptr, nullptr, nullptr, nullptr), FileInput::kEnd);
  std::ofstream more(path, std::ios::binary | std::ios::app);
  const Bytes block = samples(400);
  more.write(reinterpret_cast<const char*>(block.data()), 400).write("\x01\x02", 2).flush();
  // One whole block is there, the half-written second one is not yet.
  EXPECT_EQ(input->nextFrame(nullptr, nullptr, nullptr, nullptr), FileInput::kFrame);
  Bytes got(400);
  EXPECT_EQ(input->read(got.data(), 400), 400u);
  EXPECT_EQ(got, block);
  EXPECT_EQ(input->nextFrame(nullptr, nullptr, nullptr, nullptr), FileInput::kEnd);
  EXPECT_EQ(info->description()->frameCount(), 1);
  more.write(reinterpret_cast<const char*>(block.data()), 398).flush();
  EXPECT_EQ(input->nextFrame(nullptr, nullptr, nullptr, nullptr), FileInput::kFrame);
  EXPECT_EQ(input->frameNumber(), 1);
  EXPECT_EQ(info->description()->frameCount(), 2);
  EXPECT_EQ(info->description()->dataSize(), 800u);
}

// ---- The fuzzers' corpora --------------------------------------------------

// Every input, whole and cut at every length, keeps its property, and each
// corpus still reaches the outcomes that matter: refused and described
// files, trailers taken and built, frames read, seeks refused.
TEST(FileInputCorpus, EveryInputKeepsThePropertyAndTheOutcomesAreReached) {
  using Check = std::string (*)(const uint8_t*, size_t, fuzz::FileInputOutcome&);
  const ScopedRegistryDir registry;
  const struct {
    const char* dir;
    Check check;
    std::set<std::string> outcomes;
  } corpora[] = {
      {ZQ_MP3_FILE_CORPUS_DIR,
       fuzz::checkMp3FileProperty,
       {"refused", "indexed", "not indexed", "frames read", "seek refused"}},
      {ZQ_WAVE_FILE_CORPUS_DIR,
       fuzz::checkWaveFileProperty,
       {"refused", "not indexed", "frames read"}},
  };
  for (const auto& c : corpora) {
    SCOPED_TRACE(c.dir);
    size_t inputs = 0;
    std::set<std::string> reached;
    for (const auto& entry : std::filesystem::directory_iterator(c.dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string input(std::istreambuf_iterator<char>(in), {});
      for (size_t size = input.size() + 1; size-- > 0;) {
        fuzz::FileInputOutcome outcome;
        ASSERT_EQ(c.check(reinterpret_cast<const uint8_t*>(input.data()), size, outcome), "")
            << entry.path().filename() << " cut to " << size;
        reached.insert(!outcome.described ? "refused"
                       : outcome.indexed  ? "indexed"
                                          : "not indexed");
        if (outcome.frames > 1) {
          reached.insert("frames read");
        }
        if (outcome.seekRefused) {
          reached.insert("seek refused");
        }
      }
      ++inputs;
    }
    EXPECT_GE(inputs, 10u);
    EXPECT_EQ(reached, c.outcomes);
  }
}

}  // namespace
}  // namespace zq

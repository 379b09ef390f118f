// The file type read from the first bytes, the process-wide cache of
// descriptions (sharing, release, deletion, capacity, destruction while
// held), and descriptions shared by inputs on several threads.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "file_test_support.h"
#include "files/file_type.h"

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
      {"ID3v2 tag in front", {'I', 'D', '3', 4, 0, 0x10, 0, 0, 2, 0x7F}, FileType::kMp3},
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

struct CacheTest : ::testing::Test {
  CacheTest() {
    for (int i = 0; i < 3; ++i) {
      paths.push_back((dir.path() / ("f" + std::to_string(i) + ".wav")).string());
      writeFile(paths.back(),
                riff({chunk("fmt ", fmt(1, 1, 8000, 16)), chunk("data", samples(800))}));
    }
  }
  TempDir dir;
  ScopedRegistryDir registry;
  std::vector<std::string> paths;
};

// The cache exists once, between its creation and its destruction; what
// cannot be opened as a regular file is refused (a FIFO without waiting for
// a writer); a description held when the cache goes outlives it.
TEST_F(CacheTest, ExistsOnceAndHeldDescriptionsOutliveIt) {
  EXPECT_EQ(thrownText([&] { getFileInfo(paths[0]); }), "FileInfo cache not initialized");
  initFileInfoCache(4);
  EXPECT_EQ(thrownText([] { initFileInfoCache(4); }), "File info cache already initialized");
  const std::string fifo = (dir.path() / "fifo.mp3").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {(dir.path() / "missing.wav").string(), dir.str(), fifo}) {
    EXPECT_NE(thrownText([&] { getFileInfo(path); }), "") << path;
  }
  FileInfo* info = getFileInfo(paths[0]);
  auto input = info->openInput();
  destroyFileInfoCache();
  EXPECT_EQ(thrownText([&] { getFileInfo(paths[0]); }), "FileInfo cache not initialized");
  EXPECT_EQ(input->nextFrame(nullptr, nullptr, nullptr, nullptr), FileInput::kFrame);
  info->release();
  Bytes block(400);
  EXPECT_EQ(input->read(block.data(), 400), 400u);
  input.reset();  // the last holder deletes it (the sanitizer sees a leak or a double delete)
}

TEST_F(CacheTest, SharesOneDescriptionUntilItIsDeletedOrEvicted) {
  ScopedFileInfoCache cache(2);
  FileInfo* first = getFileInfo(paths[0]);
  ASSERT_NE(first, nullptr);
  FileInfo* second = getFileInfo(paths[0]);
  EXPECT_EQ(second, first);
  {
    const auto a = first->openInput();
    const auto b = first->openInput();
    EXPECT_EQ(&a->description(), &b->description());
    EXPECT_EQ(&a->description(), first->description().get());
    EXPECT_EQ(first->inputsOpened(), 2);
  }
  releaseFileInfo(second, false);
  releaseFileInfo(first, false);
  // Kept while nobody holds it: the same description, inputs counted on.
  FileInfo* kept = getFileInfo(paths[0]);
  EXPECT_EQ(kept->inputsOpened(), 2);
  // Deletion asked while an input is open: out of the cache at once, gone
  // with the input.
  auto input = kept->openInput();
  releaseFileInfo(kept, true);
  FileInfo* fresh = getFileInfo(paths[0]);
  EXPECT_EQ(fresh->inputsOpened(), 0);
  EXPECT_EQ(input->nextFrame(nullptr, nullptr, nullptr, nullptr), FileInput::kFrame);
  input.reset();
  fresh->openInput();
  releaseFileInfo(fresh, false);
  // Two more files in a cache of two: the least recently used idle one goes.
  releaseFileInfo(getFileInfo(paths[1]), false);
  FileInfo* recent = getFileInfo(paths[2]);
  recent->openInput();
  releaseFileInfo(recent, false);
  const FileInfoHold again(getFileInfo(paths[0]));
  EXPECT_EQ(again->inputsOpened(), 0);
  const FileInfoHold stillThere(getFileInfo(paths[2]));
  EXPECT_EQ(stillThere->inputsOpened(), 1);
}

TEST_F(CacheTest, ThreadsShareADescriptionAndBuildOneIndex) {
  ScopedFileInfoCache cache(4);
  const std::vector<Bytes> frames = encodeFrames(64000, 60);
  const std::string path = (dir.path() / "shared.mp3").string();
  writeFile(path, join(frames));
  constexpr int kThreads = 4;
  std::vector<FileInfo*> infos(kThreads);
  std::vector<ReadThrough> reads(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      infos[static_cast<size_t>(t)] = getFileInfo(path);
      const auto input = infos[static_cast<size_t>(t)]->openInput();
      reads[static_cast<size_t>(t)] = readThrough(*input);
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(infos[static_cast<size_t>(t)], infos[0]);
    EXPECT_EQ(reads[static_cast<size_t>(t)].frames, frames);
  }
  const FileDescription& d = *infos[0]->description();
  EXPECT_EQ(d.frameCount(), 60);
  EXPECT_EQ(infos[0]->inputsOpened(), kThreads);
  const std::vector<TimeIndexEntry> index = d.index();
  ASSERT_EQ(index.size(), 61u);
  uint64_t offset = 0;
  for (size_t k = 0; k < 60; ++k) {
    EXPECT_EQ(index[k].fileOffset(), offset) << k;
    EXPECT_EQ(index[k].time, reads[0].times[k]) << k;
    offset += frames[k].size();
  }
  EXPECT_EQ(index[60].offset, offset);
  for (FileInfo* info : infos) {
    releaseFileInfo(info, false);
  }
}

}  // namespace
}  // namespace zq

// Streams and storages for persistence: memory and file backed round trips,
// positions and sizes, read-only refusals, and storage trees saved to a file
// and read back, with the files that are refused. A storage's stream in
// memory is the control's own persistence test.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "com/com_ptr.h"
#include "com/storage.h"
#include "helpers/temp_dir.h"

namespace zq::com {
namespace {

std::string readAll(IStream* s) {
  s->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr);
  std::string out;
  char chunk[7];
  ULONG got = 0;
  while (SUCCEEDED(s->Read(chunk, sizeof chunk, &got)) && got > 0) {
    out.append(chunk, got);
  }
  return out;
}

HRESULT write(IStream* s, const std::string& bytes) {
  ULONG written = 0;
  const HRESULT hr = s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
  EXPECT_EQ(written, SUCCEEDED(hr) ? bytes.size() : 0u);
  return hr;
}

uint64_t seek(IStream* s, LONGLONG move, DWORD origin, HRESULT expected = S_OK) {
  ULARGE_INTEGER at{12345};
  EXPECT_EQ(s->Seek(LARGE_INTEGER{move}, origin, &at), expected);
  return at.QuadPart;
}

// The same sequence on a stream in memory and on one in a file.
TEST(Streams, WriteSeekReadAndSize) {
  test::TempDir dir;
  ComPtr<IStream> inMemory;
  ComPtr<IStream> inFile;
  ASSERT_EQ(createMemoryStream(inMemory.put()), S_OK);
  ASSERT_EQ(createFileStream((dir.path() / "stream.bin").string(), STGM_CREATE | STGM_READWRITE,
                             inFile.put()),
            S_OK);
  for (IStream* s : {inMemory.get(), inFile.get()}) {
    SCOPED_TRACE(s == inMemory.get() ? "memory" : "file");
    const std::string saved(
        "\x00\x03\x00\x00"
        "binary\xFF",
        11);
    ASSERT_EQ(write(s, saved), S_OK);
    EXPECT_EQ(readAll(s), saved);
    EXPECT_EQ(seek(s, -4, STREAM_SEEK_END), 7u);
    EXPECT_EQ(seek(s, 2, STREAM_SEEK_CUR), 9u);
    EXPECT_EQ(seek(s, -1, STREAM_SEEK_SET, STG_E_INVALIDFUNCTION), 12345u);
    // Writing past the end leaves zeros between.
    seek(s, 13, STREAM_SEEK_SET);
    ASSERT_EQ(write(s, "z"), S_OK);
    EXPECT_EQ(readAll(s), saved + std::string("\0\0z", 3));
    ASSERT_EQ(s->SetSize(ULARGE_INTEGER{4}), S_OK);
    STATSTG stat{};
    ASSERT_EQ(s->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, 4u);
    EXPECT_EQ(stat.type, STGTY_STREAM);
    EXPECT_EQ(stat.pwcsName, nullptr);
  }
}

TEST(FileStream, OpeningAndReadOnlyRefusals) {
  test::TempDir dir;
  const std::string path = (dir.path() / "saved.bin").string();
  ComPtr<IStream> s;
  EXPECT_EQ(createFileStream(path, STGM_READ, s.put()), STG_E_FILENOTFOUND);
  EXPECT_EQ(createFileStream(path, STGM_CREATE | STGM_READ, s.put()), STG_E_INVALIDPARAMETER);
  EXPECT_FALSE(s);
  ASSERT_EQ(createFileStream(path, STGM_CREATE | STGM_WRITE, s.put()), S_OK);
  ASSERT_EQ(write(s.get(), "persisted"), S_OK);
  ASSERT_EQ(s->Commit(0), S_OK);
  ASSERT_EQ(createFileStream(path, STGM_READ, s.put()), S_OK);
  EXPECT_EQ(readAll(s.get()), "persisted");
  EXPECT_EQ(write(s.get(), "x"), STG_E_ACCESSDENIED);
  EXPECT_EQ(s->SetSize(ULARGE_INTEGER{0}), STG_E_ACCESSDENIED);
  STATSTG stat{};
  ASSERT_EQ(s->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(std::u16string(stat.pwcsName), u"saved.bin");
  CoTaskMemFree(stat.pwcsName);
}

// Builds Contents = "state", Sub\Inner = "nested" in `root`.
void fill(IStorage* root) {
  ComPtr<IStream> contents;
  ASSERT_EQ(root->CreateStream(u"Contents", STGM_READWRITE, 0, 0, contents.put()), S_OK);
  ASSERT_EQ(write(contents.get(), "state"), S_OK);
  ComPtr<IStorage> sub;
  ASSERT_EQ(root->CreateStorage(u"Sub", STGM_READWRITE, 0, 0, sub.put()), S_OK);
  ComPtr<IStream> inner;
  ASSERT_EQ(sub->CreateStream(u"Inner", STGM_READWRITE, 0, 0, inner.put()), S_OK);
  ASSERT_EQ(write(inner.get(), "nested"), S_OK);
}

std::string streamText(IStorage* storage, const char16_t* name) {
  ComPtr<IStream> s;
  if (storage->OpenStream(name, nullptr, STGM_READ, 0, s.put()) != S_OK) {
    return "(none)";
  }
  return readAll(s.get());
}

TEST(Storage, ElementsAndTheirRefusals) {
  ComPtr<IStorage> root;
  ASSERT_EQ(createMemoryStorage(root.put()), S_OK);
  fill(root.get());
  ComPtr<IStream> s;
  ComPtr<IStorage> st;
  struct Case {
    const char* name;
    std::function<HRESULT()> call;
    HRESULT hr;
  };
  const Case cases[] = {
      {"create over an existing stream",
       [&] { return root->CreateStream(u"Contents", STGM_READWRITE, 0, 0, s.put()); },
       STG_E_FILEALREADYEXISTS},
      {"open a missing stream",
       [&] { return root->OpenStream(u"Missing", nullptr, STGM_READ, 0, s.put()); },
       STG_E_FILENOTFOUND},
      {"open a stream as a storage",
       [&] { return root->OpenStorage(u"Contents", nullptr, STGM_READ, nullptr, 0, st.put()); },
       STG_E_FILENOTFOUND},
      {"name of 32 units",
       [&] {
         return root->CreateStream(u"abcdefghijklmnopqrstuvwxyz012345", STGM_READWRITE, 0, 0,
                                   s.put());
       },
       STG_E_INVALIDNAME},
      {"destroy a missing element", [&] { return root->DestroyElement(u"Missing"); },
       STG_E_FILENOTFOUND},
      {"rename onto an existing element", [&] { return root->RenameElement(u"Sub", u"Contents"); },
       STG_E_FILEALREADYEXISTS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(), c.hr);
  }
  // Replacing, renaming and destroying.
  ASSERT_EQ(root->CreateStream(u"Contents", STGM_CREATE | STGM_READWRITE, 0, 0, s.put()), S_OK);
  EXPECT_EQ(streamText(root.get(), u"Contents"), "");
  ASSERT_EQ(root->RenameElement(u"Contents", u"Renamed"), S_OK);
  EXPECT_EQ(streamText(root.get(), u"Contents"), "(none)");
  ASSERT_EQ(root->DestroyElement(u"Renamed"), S_OK);
  EXPECT_EQ(streamText(root.get(), u"Renamed"), "(none)");
}

// A tree saved to a file and read back, written back when the last
// reference goes (without a Commit); then the file's bytes, damaged, refused.
TEST(Storage, FileRoundTripAndTheFilesRefused) {
  test::TempDir dir;
  const std::string path = (dir.path() / "control.stg").string();
  {
    ComPtr<IStorage> root;
    ASSERT_EQ(createFileStorage(path, STGM_READWRITE, root.put()), S_OK);
    fill(root.get());
    ASSERT_EQ(root->Commit(0), S_OK);
  }
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ComPtr<IStorage> again;
  EXPECT_EQ(createFileStorage(path, STGM_READWRITE, again.put()), STG_E_FILEALREADYEXISTS);
  ASSERT_EQ(openFileStorage(path, STGM_READWRITE, again.put()), S_OK);
  EXPECT_EQ(streamText(again.get(), u"Contents"), "state");
  ComPtr<IStorage> sub;
  ASSERT_EQ(again->OpenStorage(u"Sub", nullptr, STGM_READWRITE, nullptr, 0, sub.put()), S_OK);
  EXPECT_EQ(streamText(sub.get(), u"Inner"), "nested");
  ASSERT_EQ(sub->DestroyElement(u"Inner"), S_OK);
  sub.reset();
  again.reset();
  ComPtr<IStorage> third;
  ASSERT_EQ(openFileStorage(path, STGM_READ, third.put()), S_OK);
  ASSERT_EQ(third->OpenStorage(u"Sub", nullptr, STGM_READ, nullptr, 0, sub.put()), S_OK);
  EXPECT_EQ(streamText(sub.get(), u"Inner"), "(none)");
  EXPECT_EQ(streamText(third.get(), u"Contents"), "state");
  ComPtr<IStream> s;
  EXPECT_EQ(third->CreateStream(u"X", STGM_READWRITE, 0, 0, s.put()), STG_E_ACCESSDENIED);

  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty file", ""},
      {"another mark", "NOTSTG\r\n" + bytes.substr(8)},
      {"cut in a stream", bytes.substr(0, bytes.size() - 3)},
      {"bytes after the end", bytes + "x"},
      {"element of an unknown type", bytes.substr(0, 12) + '\x07' + bytes.substr(13)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bad = (dir.path() / "bad.stg").string();
    std::ofstream(bad, std::ios::binary | std::ios::trunc) << c.bytes;
    ComPtr<IStorage> root;
    EXPECT_EQ(openFileStorage(bad, STGM_READ, root.put()), STG_E_INVALIDHEADER);
    EXPECT_FALSE(root);
  }
  EXPECT_EQ(openFileStorage((dir.path() / "none.stg").string(), STGM_READ, third.put()),
            STG_E_FILENOTFOUND);
}

}  // namespace
}  // namespace zq::com

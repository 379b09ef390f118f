// Objects, their creation and their persistence: reference counts and the
// QueryInterface rules, class factories and CoCreateInstance, the
// registration keys written and removed exactly; and streams and storages:
// memory and file backed round trips, positions and sizes, read-only
// refusals, and storage trees saved to a file and read back, with the files
// that are refused. A storage's stream in memory is the control's own
// persistence test.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "com/class_factory.h"
#include "com/com_ptr.h"
#include "com/global_interface_table.h"
#include "com/ref_count.h"
#include "com/registrar.h"
#include "com/registry_lookup.h"
#include "com/storage.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"

namespace zq::com {
namespace {

inline constexpr IID IID_IFirst = makeGuid("{11111111-2222-3333-4444-555555555501}");
inline constexpr IID IID_ISecond = makeGuid("{11111111-2222-3333-4444-555555555502}");
inline constexpr CLSID CLSID_Pair = makeGuid("{11111111-2222-3333-4444-5555555555AA}");

struct IFirst : IUnknown {
  static constexpr const IID& iid = IID_IFirst;
  virtual int first() = 0;
};
struct ISecond : IUnknown {
  static constexpr const IID& iid = IID_ISecond;
  virtual int second() = 0;
};

std::atomic<int> pairsAlive{0};

class Pair : public JComObject<Pair, IFirst, ISecond> {
 public:
  Pair() {
    ++pairsAlive;
    lockModule();
  }
  ~Pair() override {
    --pairsAlive;
    unlockModule();
  }
  int first() override { return 1; }
  int second() override { return 2; }
  static HRESULT create(REFIID riid, void** object) {
    ComPtr<IFirst> p = ComPtr<IFirst>::adopt(new Pair);
    return p->QueryInterface(riid, object);
  }
};

// Identity and refusals through every interface are the control's test; here
// what it cannot show: the way back, a null out pointer, and the counts, also
// when many threads take and drop references at once.
TEST(Unknown, QueryInterfaceRulesAndCounts) {
  ComPtr<IFirst> first = ComPtr<IFirst>::adopt(new Pair);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([p = first.get()] {
      for (int i = 0; i < 10000; ++i) {
        ComPtr<ISecond> s = ComPtr<ISecond>::queryFrom(p);
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  ComPtr<ISecond> second = ComPtr<ISecond>::queryFrom(first.get());
  ASSERT_TRUE(second);
  ComPtr<IFirst> back = ComPtr<IFirst>::queryFrom(second.get());
  EXPECT_EQ(back.get(), first.get());
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(first->QueryInterface(IID_IGlobalInterfaceTable, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(first->QueryInterface(IID_IFirst, nullptr), E_POINTER);
  // Three references: first, second, back.
  EXPECT_EQ(first->AddRef(), 4u);
  EXPECT_EQ(first->Release(), 3u);
  back.reset();
  second.reset();
  EXPECT_EQ(pairsAlive, 1);
  first.reset();
  EXPECT_EQ(pairsAlive, 0);
}

// A factory's refusals and its server lock; CoCreateInstance finds a class
// registered in the process until it is revoked, and not one whose server
// cannot be loaded. A factory's instance keeping the module loaded and a
// server found through the registry are the control's server test.
TEST(ClassFactory, CreatesLocksAndIsFoundWhileRegistered) {
  test::LogCapture log;  // a registry of the test's own
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(createClassFactory(&Pair::create, IID_IClassFactory, factory.putVoid()), S_OK);
  struct Case {
    const char* name;
    IUnknown* outer;
    IID iid;
    HRESULT hr;
  };
  const Case cases[] = {
      {"an interface it lacks", nullptr, IID_IClassFactory, E_NOINTERFACE},
      {"aggregated", factory.get(), IID_IFirst, CLASS_E_NOAGGREGATION},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ComPtr<IUnknown> object;
    EXPECT_EQ(factory->CreateInstance(c.outer, c.iid, object.putVoid()), c.hr);
    EXPECT_FALSE(object);
    EXPECT_EQ(canUnloadModule(), S_OK);
  }
  EXPECT_EQ(pairsAlive, 0);
  ASSERT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(canUnloadModule(), S_FALSE);
  ASSERT_EQ(factory->LockServer(0), S_OK);
  EXPECT_EQ(canUnloadModule(), S_OK);

  ComPtr<IFirst> first;
  JSystemRegistryKey(HKEY_CLASSES_ROOT, "CLSID\\" + guidToString(CLSID_Pair) + "\\InprocServer32")
      .setString("", "/nonexistent/libnothing.so");
  EXPECT_EQ(
      CoCreateInstance(CLSID_Pair, nullptr, CLSCTX_INPROC_SERVER, IID_IFirst, first.putVoid()),
      REGDB_E_CLASSNOTREG);
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_Pair, factory.get(), CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  ASSERT_EQ(
      CoCreateInstance(CLSID_Pair, nullptr, CLSCTX_INPROC_SERVER, IID_IFirst, first.putVoid()),
      S_OK);
  EXPECT_EQ(first->first(), 1);
  ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
  EXPECT_EQ(
      CoCreateInstance(CLSID_Pair, nullptr, CLSCTX_INPROC_SERVER, IID_IFirst, first.putVoid()),
      REGDB_E_CLASSNOTREG);
}

const std::string kClsid = "{11111111-2222-3333-4444-5555555555AA}";

std::vector<JRegistryKeySpec> sampleKeys() {
  using K = JRegistryKeySpec;
  return {
      K{"Sample.Pair.1", "Pair Control", {}, K::kNone, {}},
      K{"CLSID",
        std::nullopt,
        {},
        K::kNoRemove,
        {K{kClsid,
           "Pair Control",
           // Tokens: twice, an escaped %, one not ours and one unclosed.
           {{"Tokens", "%MODULE%%MODULE% 100%% %OTHER% %MODULE"}},
           K::kForceRemove,
           {K{"Programmable", std::nullopt, {}, K::kForceRemove, {}},
            K{"InprocServer32", "%MODULE%", {{"ThreadingModel", "Apartment"}}, K::kNone, {}}}}}},
      // Two libraries' keys, which go once no other version is left in them.
      K{"TypeLib",
        std::nullopt,
        {},
        K::kNoRemove,
        {K{"{LIB-A}", std::nullopt, {}, K::kRemoveWhenEmpty, {K{"1.0", "A", {}, K::kNone, {}}}},
         K{"{LIB-B}", std::nullopt, {}, K::kRemoveWhenEmpty, {K{"1.0", "B", {}, K::kNone, {}}}}}},
  };
}

// The key's default value or a named one, "(absent)" when the key or value is
// not there, "(no value)" when the key is there without it.
std::string valueAt(const std::string& path, const std::string& name = "") {
  std::optional<JSystemRegistryKey> key = openExistingKey(HKEY_CLASSES_ROOT, path, KEY_READ);
  if (!key) {
    return "(absent)";
  }
  std::string v;
  return key->getString(name, v) ? v : "(no value)";
}

// Registering again over the same keys is the control's server test.
TEST(Registration, WritesAndRemovesExactlyTheKeysAsked) {
  test::ScopedRegistryDir registry;
  const std::string clsidKey = "CLSID\\" + kClsid;
  const std::string other = "CLSID\\{99999999-0000-0000-0000-000000000001}";
  // Another server's class, and a stale subkey the force-removed key drops.
  JSystemRegistryKey(HKEY_CLASSES_ROOT, other).setString("", "Other Control");
  JSystemRegistryKey(HKEY_CLASSES_ROOT, clsidKey + "\\Programmable\\Stale").setString("", "x");
  JSystemRegistryKey(HKEY_CLASSES_ROOT, clsidKey + "\\Leftover").setString("", "y");
  JSystemRegistryKey(HKEY_CLASSES_ROOT, "TypeLib\\{LIB-B}\\2.0").setString("", "B2");
  const JReplacements replacements{{"MODULE", "/opt/zq/lib/libPair.so"}};
  ASSERT_EQ(registerKeys(sampleKeys(), replacements), S_OK);
  struct Expectation {
    std::string path;
    std::string name;
    std::string registered;
    std::string unregistered;
  };
  const Expectation expectations[] = {
      {"Sample.Pair.1", "", "Pair Control", "(absent)"},
      {clsidKey, "", "Pair Control", "(absent)"},
      {clsidKey, "Tokens", "/opt/zq/lib/libPair.so/opt/zq/lib/libPair.so 100% %OTHER% %MODULE",
       "(absent)"},
      {clsidKey + "\\Programmable", "", "(no value)", "(absent)"},
      {clsidKey + "\\Programmable\\Stale", "", "(absent)", "(absent)"},
      {clsidKey + "\\Leftover", "", "(absent)", "(absent)"},
      {clsidKey + "\\InprocServer32", "", "/opt/zq/lib/libPair.so", "(absent)"},
      {clsidKey + "\\InprocServer32", "ThreadingModel", "Apartment", "(absent)"},
      {"CLSID", "", "(no value)", "(no value)"},
      {other, "", "Other Control", "Other Control"},
      {"TypeLib\\{LIB-A}\\1.0", "", "A", "(absent)"},
      {"TypeLib\\{LIB-A}", "", "(no value)", "(absent)"},
      {"TypeLib\\{LIB-B}\\1.0", "", "B", "(absent)"},
      {"TypeLib\\{LIB-B}\\2.0", "", "B2", "B2"},
  };
  for (const Expectation& e : expectations) {
    SCOPED_TRACE(e.path + " " + e.name);
    EXPECT_EQ(valueAt(e.path, e.name), e.registered);
  }
  ASSERT_EQ(unregisterKeys(sampleKeys(), replacements), S_OK);
  for (const Expectation& e : expectations) {
    SCOPED_TRACE(e.path + " " + e.name + " after unregistering");
    EXPECT_EQ(valueAt(e.path, e.name), e.unregistered);
  }
  // A store that cannot be written is reported (ScopedRegistryDir puts the
  // variable back).
  const std::string notADirectory = (registry.path() / "file").string();
  std::ofstream(notADirectory) << "x";
  ::setenv("ZQ_REGISTRY_DIR", notADirectory.c_str(), 1);
  EXPECT_EQ(registerKeys(sampleKeys(), replacements), SELFREG_E_CLASS);
  EXPECT_EQ(unregisterKeys(sampleKeys(), replacements), SELFREG_E_CLASS);
}

// ---- streams and storages ---------------------------------------------------------

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

// The same sequence on a stream in memory and on one in a file; then a file
// opened for reading, and the refusals.
TEST(Streams, WriteSeekReadSizeAndReadOnlyFiles) {
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
      {"write through a read-only sub-storage",
       [&] {
         ComPtr<IStorage> ro;
         root->OpenStorage(u"Sub", nullptr, STGM_READ, nullptr, 0, ro.put());
         return ro->CreateStream(u"New", STGM_READWRITE, 0, 0, s.put());
       },
       STG_E_ACCESSDENIED},
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

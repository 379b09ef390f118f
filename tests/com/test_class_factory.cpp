// Objects and their creation: reference counts and the QueryInterface rules,
// class factories and CoCreateInstance, and the registration keys written
// and removed exactly.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

#include "com/class_factory.h"
#include "com/com_ptr.h"
#include "com/global_interface_table.h"
#include "com/ref_count.h"
#include "com/registrar.h"
#include "com/registry_lookup.h"
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
  // Registering twice changes nothing.
  ASSERT_EQ(registerKeys(sampleKeys(), replacements), S_OK);
  EXPECT_EQ(valueAt(clsidKey + "\\InprocServer32"), "/opt/zq/lib/libPair.so");
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

}  // namespace
}  // namespace zq::com

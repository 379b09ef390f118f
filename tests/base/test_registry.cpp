// JSystemRegistryKey over the file store: values and their defaults, keys and
// their order, the file an administrator reads and edits, failures and their
// messages, and writers in several threads and processes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/error.h"
#include "base/registry_key.h"
#include "helpers/log_capture.h"
#include "helpers/temp_dir.h"

namespace zq {
namespace {

using test::ScopedRegistryDir;

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::filesystem::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// The message of the JSysError `f` throws, or "" when it throws none.
template <typename F>
std::string sysErrorOf(F&& f, uint32_t* code = nullptr) {
  try {
    f();
  } catch (const JSysError& e) {
    if (code != nullptr) {
      *code = e.code();
    }
    return e.message();
  }
  return {};
}

// ---- values ----------------------------------------------------------------

class RegistryValues : public ::testing::Test {
 protected:
  ScopedRegistryDir dir_;
  JSystemRegistryKey key_{HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Test"};
};

TEST_F(RegistryValues, AbsentValuesLeaveTheCallersDefaults) {
  uint32_t dword = 77;
  int number = -1;
  bool flag = true;
  std::string text = "keep";
  EXPECT_FALSE(key_.getDword("Missing", dword));
  EXPECT_FALSE(key_.getDword("Missing", number));
  EXPECT_FALSE(key_.getBool("Missing", flag));
  EXPECT_FALSE(key_.getString("Missing", text));
  EXPECT_EQ(dword, 77u);
  EXPECT_EQ(number, -1);
  EXPECT_TRUE(flag);
  EXPECT_EQ(text, "keep");
}

TEST_F(RegistryValues, BooleanIsTrueForAnyNonZeroDword) {
  key_.setDword("Two", 2);
  key_.setDword("Zero", 0);
  bool two = false;
  bool zero = true;
  ASSERT_TRUE(key_.getBool("Two", two));
  ASSERT_TRUE(key_.getBool("Zero", zero));
  EXPECT_TRUE(two);
  EXPECT_FALSE(zero);
}

TEST_F(RegistryValues, DwordsKeepAllThirtyTwoBits) {
  key_.setDword("Mask", 0xFFFFFFFEu);
  key_.setDword("Precedence", static_cast<uint32_t>(-1));
  uint32_t mask = 0;
  int precedence = 0;
  ASSERT_TRUE(key_.getDword("Mask", mask));
  ASSERT_TRUE(key_.getDword("Precedence", precedence));
  EXPECT_EQ(mask, 0xFFFFFFFEu);
  EXPECT_EQ(precedence, -1);
  EXPECT_NE(readFile(dir_.path() / "HKEY_LOCAL_MACHINE.reg").find("\"Mask\"=dword:fffffffe\n"),
            std::string::npos);
}

TEST_F(RegistryValues, StringsWithQuotesAndBackslashesRoundTripAndAreEscapedInTheFile) {
  const std::string tricky = R"(C:\logs\ "quoted" \\server\ trailing\)";
  key_.setString("Path", tricky);
  std::string back;
  ASSERT_TRUE(key_.getString("Path", back));
  EXPECT_EQ(back, tricky);
  EXPECT_NE(readFile(dir_.path() / "HKEY_LOCAL_MACHINE.reg")
                .find(R"("Path"="C:\\logs\\ \"quoted\" \\\\server\\ trailing\\")"),
            std::string::npos);
}

TEST_F(RegistryValues, EmptyStringIsAValue) {
  key_.setString("Empty", "");
  std::string back = "x";
  ASSERT_TRUE(key_.getString("Empty", back));
  EXPECT_EQ(back, "");
}

TEST_F(RegistryValues, NamesCompareCaseInsensitivelyAndKeepTheirFirstCase) {
  key_.setDword("AllowMultiple", 1);
  key_.setDword("allowmultiple", 2);
  uint32_t v = 0;
  ASSERT_TRUE(key_.getDword("ALLOWMULTIPLE", v));
  EXPECT_EQ(v, 2u);
  const std::string file = readFile(dir_.path() / "HKEY_LOCAL_MACHINE.reg");
  EXPECT_NE(file.find("\"AllowMultiple\"=dword:00000002"), std::string::npos);
  EXPECT_EQ(file.find("allowmultiple"), std::string::npos);
}

TEST_F(RegistryValues, ReplacingAValueMayChangeItsKind) {
  key_.setString("Level", "high");
  key_.setDword("Level", 3);
  uint32_t v = 0;
  ASSERT_TRUE(key_.getDword("Level", v));
  EXPECT_EQ(v, 3u);
}

TEST_F(RegistryValues, DeletedValueReadsAsAbsent) {
  key_.setString("Gone", "soon");
  EXPECT_TRUE(key_.deleteValue("gone"));
  EXPECT_FALSE(key_.deleteValue("Gone"));
  std::string v = "default";
  EXPECT_FALSE(key_.getString("Gone", v));
  EXPECT_EQ(v, "default");
}

TEST_F(RegistryValues, ValueOfAnotherKindIsAFailureNamingTheKey) {
  key_.setString("Text", "12");
  key_.setDword("Number", 12);
  uint32_t number = 5;
  uint32_t code = 0;
  EXPECT_EQ(sysErrorOf([&] { key_.getDword("Text", number); }, &code),
            "system call error at function 'Function=RegQueryValueEx, "
            "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Test' : Invalid argument");
  EXPECT_EQ(code, static_cast<uint32_t>(EINVAL));
  EXPECT_EQ(number, 5u);
  bool flag = false;
  EXPECT_NE(sysErrorOf([&] { key_.getBool("Text", flag); }), "");
  std::string text = "untouched";
  EXPECT_NE(sysErrorOf([&] { key_.getString("Number", text); }), "");
  EXPECT_EQ(text, "untouched");
}

TEST_F(RegistryValues, LineBreaksCannotBeStored) {
  uint32_t code = 0;
  EXPECT_EQ(sysErrorOf([&] { key_.setString("Format", "a\nb"); }, &code),
            "system call error at function 'Function=RegSetValueEx, "
            "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Test' : Invalid argument");
  EXPECT_EQ(code, static_cast<uint32_t>(EINVAL));
  std::string v = "none";
  EXPECT_FALSE(key_.getString("Format", v));
}

TEST_F(RegistryValues, ReadOnlyKeyRefusesWrites) {
  JSystemRegistryKey reader(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Test", KEY_READ);
  uint32_t code = 0;
  EXPECT_EQ(sysErrorOf([&] { reader.setDword("X", 1); }, &code),
            "system call error at function 'Function=RegSetValueEx, "
            "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Test' : Permission denied");
  EXPECT_EQ(code, static_cast<uint32_t>(EACCES));
  key_.setDword("X", 4);
  uint32_t v = 0;
  EXPECT_TRUE(reader.getDword("X", v));
  EXPECT_EQ(v, 4u);
}

// ---- keys ------------------------------------------------------------------

class RegistryKeys : public ::testing::Test {
 protected:
  ScopedRegistryDir dir_;
  std::string file(const char* root = "HKEY_LOCAL_MACHINE") {
    return readFile(dir_.path() / (std::string(root) + ".reg"));
  }
};

TEST_F(RegistryKeys, OpenCreatesTheKeyWithItsParentsInTheFile) {
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log", KEY_READ);
  EXPECT_TRUE(key.isOpen());
  EXPECT_EQ(file(),
            "REGEDIT4\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Log]\n\n");
  EXPECT_TRUE(key.enumSubKeys().empty());
}

TEST_F(RegistryKeys, OpeningAnExistingKeyInAnotherCaseWritesNothing) {
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log");
  const std::string before = file();
  JSystemRegistryKey again(HKEY_LOCAL_MACHINE, "software\\QUORVANTA\\log\\");
  EXPECT_EQ(file(), before);
  key.setString("Type", "File");
  std::string type;
  EXPECT_TRUE(again.getString("Type", type));
  EXPECT_EQ(type, "File");
}

TEST_F(RegistryKeys, SubkeysAreEnumeratedInCreationOrder) {
  JSystemRegistryKey log(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log");
  for (const char* name : {"Zeta", "Alpha", "Mid"}) {
    JSystemRegistryKey sub;
    sub.openSubKey(log, name);
  }
  JSystemRegistryKey grandChild;
  grandChild.openSubKey(log, "Alpha\\Deeper");
  JSystemRegistryKey sameAsAlpha;
  sameAsAlpha.openSubKey(log, "ALPHA");
  EXPECT_EQ(log.enumSubKeys(), (std::vector<std::string>{"Zeta", "Alpha", "Mid"}));
  JSystemRegistryKey alpha(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log\\Alpha");
  EXPECT_EQ(alpha.enumSubKeys(), std::vector<std::string>{"Deeper"});
}

TEST_F(RegistryKeys, OpenSubKeyMayReopenTheSameObject) {
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta");
  key.openSubKey(key, "Log");
  EXPECT_EQ(key.path(), "SOFTWARE\\Quorvanta\\Log");
  key.setDword("V", 1);
  JSystemRegistryKey check(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log");
  uint32_t v = 0;
  EXPECT_TRUE(check.getDword("V", v));
}

TEST_F(RegistryKeys, DeleteKeyRemovesTheSubtreeAndItsHandlesFail) {
  JSystemRegistryKey parent(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta");
  JSystemRegistryKey child(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Old\\Leaf");
  child.setDword("V", 1);
  JSystemRegistryKey keep(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Older");
  EXPECT_TRUE(parent.deleteKey("old"));
  EXPECT_FALSE(parent.deleteKey("Old"));
  EXPECT_EQ(parent.enumSubKeys(), std::vector<std::string>{"Older"});
  uint32_t v = 0;
  uint32_t code = 0;
  EXPECT_EQ(sysErrorOf([&] { child.getDword("V", v); }, &code),
            "system call error at function 'Function=RegQueryValueEx, "
            "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Old\\Leaf' : No such file or directory");
  EXPECT_EQ(code, static_cast<uint32_t>(ENOENT));
  EXPECT_NE(sysErrorOf([&] { child.setDword("V", 2); }), "");
  EXPECT_NE(sysErrorOf([&] { parent.deleteKey(""); }), "");
}

TEST_F(RegistryKeys, RootsArePrintedByNameAndKeptInFilesOfTheirOwn) {
  EXPECT_STREQ(JSystemRegistryKey::rootName(HKEY_CLASSES_ROOT), "HKEY_CLASSES_ROOT");
  EXPECT_STREQ(JSystemRegistryKey::rootName(HKEY_CURRENT_USER), "HKEY_CURRENT_USER");
  EXPECT_STREQ(JSystemRegistryKey::rootName(HKEY_LOCAL_MACHINE), "HKEY_LOCAL_MACHINE");
  EXPECT_STREQ(JSystemRegistryKey::rootName(HKEY_USERS), "HKEY_USERS");
  EXPECT_STREQ(JSystemRegistryKey::rootName(HKEY_CURRENT_CONFIG), "HKEY_CURRENT_CONFIG");
  EXPECT_STREQ(JSystemRegistryKey::rootName(0x80000004u), "UNKNOWN HKEY");

  JSystemRegistryKey user(HKEY_CURRENT_USER, "Software\\Test");
  user.setDword("V", 9);
  JSystemRegistryKey machine(HKEY_LOCAL_MACHINE, "Software\\Test");
  uint32_t v = 0;
  EXPECT_FALSE(machine.getDword("V", v));
  EXPECT_NE(file("HKEY_CURRENT_USER").find("[HKEY_CURRENT_USER\\Software\\Test]"),
            std::string::npos);

  uint32_t code = 0;
  EXPECT_EQ(sysErrorOf([] { JSystemRegistryKey bad(0x1234u, "X"); }, &code),
            "system call error at function 'Function=RegCreateKeyEx, key=UNKNOWN HKEY\\X' : "
            "Invalid argument");
}

TEST_F(RegistryKeys, ClosedKeyFailsEveryOperation) {
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta");
  key.close();
  uint32_t v = 0;
  EXPECT_NE(sysErrorOf([&] { key.getDword("V", v); }), "");
  EXPECT_NE(sysErrorOf([&] { key.enumSubKeys(); }), "");
  EXPECT_NE(sysErrorOf([&] { key.flush(); }), "");
  JSystemRegistryKey sub;
  EXPECT_NE(sysErrorOf([&] { sub.openSubKey(key, "Log"); }), "");
}

TEST_F(RegistryKeys, CopiesReferToTheSameKeyAndAreTracedUnderTheirOwnNames) {
  test::LogCapture capture(0, "%i %w %m");
  ASSERT_TRUE(JTraceableObject::setMaskOf("JSystemRegistryKey", 1u << kLevelTraceRegistry));
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta");
  JSystemRegistryKey copy(key);
  JSystemRegistryKey assigned;
  assigned = key;
  JTraceableObject::setMaskOf("JSystemRegistryKey", 0);

  copy.setDword("Shared", 3);
  uint32_t v = 0;
  EXPECT_TRUE(assigned.getDword("Shared", v));
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(capture.count("JSystemRegistryKey TRACE_REGISTRY JSystemRegistryKey(const "
                          "JSystemRegistryKey & oKey)"),
            1u);
  EXPECT_EQ(capture.count("JSystemRegistryKey TRACE_REGISTRY operator=(const "
                          "JSystemRegistryKey & oKey)"),
            1u);
}

// ---- the file --------------------------------------------------------------

class RegistryFile : public ::testing::Test {
 protected:
  ScopedRegistryDir dir_;
  std::filesystem::path path_ = dir_.path() / "HKEY_LOCAL_MACHINE.reg";
};

TEST_F(RegistryFile, HandEditedFileWithCommentsAndCrLfReads) {
  writeFile(path_,
            "; written by hand\r\n"
            "REGEDIT4\r\n"
            "\r\n"
            "; the log outputs\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Log\\File]\r\n"
            "  \"Type\" = \"File\"  \r\n"
            "\"AllowMultiple\"=DWORD:1\r\n"
            "\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\Quorvanta\\Log\\Syslog]\r\n"
            "\"Server\"=\"127.0.0.1\"\r\n");
  JSystemRegistryKey file(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log\\File", KEY_READ);
  std::string type;
  bool allow = false;
  ASSERT_TRUE(file.getString("Type", type));
  ASSERT_TRUE(file.getBool("AllowMultiple", allow));
  EXPECT_EQ(type, "File");
  EXPECT_TRUE(allow);
  JSystemRegistryKey log(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log", KEY_READ);
  EXPECT_EQ(log.enumSubKeys(), (std::vector<std::string>{"File", "Syslog"}));
}

TEST_F(RegistryFile, UnknownKindsAndCommentsSurviveARewrite) {
  const std::string binary =
      "\"Blob\"=hex:01,02,03,\\\n"
      "  04,05";
  writeFile(path_,
            "REGEDIT4\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]\n"
            "; keep me\n" +
                binary +
                "\n"
                "\"Expand\"=hex(2):25,00,00,00\n"
                "@=\"default value\"\n"
                "not a value, kept as written\n"
                "[HKEY_CURRENT_USER\\Elsewhere]\n"
                "\"Foreign\"=\"kept\"\n");
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta");
  std::string def;
  ASSERT_TRUE(key.getString("", def));
  EXPECT_EQ(def, "default value");
  std::string s;
  EXPECT_NE(sysErrorOf([&] { key.getString("Blob", s); }), "");

  key.setDword("Added", 1);
  const std::string after = readFile(path_);
  EXPECT_NE(after.find("; keep me\n" + binary + "\n"), std::string::npos) << after;
  EXPECT_NE(after.find("\"Expand\"=hex(2):25,00,00,00\n"), std::string::npos);
  EXPECT_NE(after.find("@=\"default value\"\n"), std::string::npos);
  EXPECT_NE(after.find("not a value, kept as written\n[HKEY_CURRENT_USER"), std::string::npos);
  EXPECT_NE(after.find("[HKEY_CURRENT_USER\\Elsewhere]\n\"Foreign\"=\"kept\"\n"),
            std::string::npos);
  EXPECT_NE(after.find("\"Added\"=dword:00000001\n"), std::string::npos);
}

// A file that cannot be parsed fails every operation on its root, with the
// file, the line and the fault, and is never rewritten.
TEST_F(RegistryFile, BrokenFilesNameTheFileTheLineAndTheFault) {
  struct Case {
    const char* fault;
    const char* body;  // after the lines "REGEDIT4", "", "; comment", "[...\Quorvanta]"
    const char* problem;
  };
  const Case cases[] = {
      {"unterminated string value", "\"A\"=\"x\"\r\n\"Path\"=\"C:\\logs\\\"\r\n",
       "line 6: unterminated string"},
      {"unterminated value name", "\"Path=x\n", "line 5: unterminated string"},
      {"text after the string", "\"A\"=\"x\" \"y\"\n", "line 5: text after the closing quote"},
      {"no '=' after the name", "\"A\" \"x\"\n", "line 5: '=' expected after the value name"},
      {"no '=' after @", "@\"x\"\n", "line 5: '=' expected after the value name"},
      {"dword with bad hex", "\n\"Level\"=dword:xyz\n", "line 6: dword: needs 1 to 8 hex digits"},
      {"dword too long", "\"Level\"=dword:123456789\n", "line 5: dword: needs 1 to 8 hex digits"},
      {"unknown value kind", "\"Level\"=12\n", "line 5: the value is not a string, dword: or hex:"},
      {"hex running off the end", "\"Blob\"=hex:01,\\\n  02,\\\n",
       "line 5: hex value continued past the end of the file"},
      {"header without ']'", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Log\n",
       "line 5: section header does not end with ']'"},
      {"empty header", "[ ]\n", "line 5: section header without a key"},
      {"key deletion", "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n",
       "line 5: deleting a key ([-...]) is not supported"},
  };
  const std::string function =
      "system call error at function 'Function=RegCreateKeyEx, "
      "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta' : ";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string text =
        std::string("REGEDIT4\n\n; comment\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]\n") + c.body;
    writeFile(path_, text);
    uint32_t code = 0;
    EXPECT_EQ(
        sysErrorOf([] { JSystemRegistryKey k(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta"); }, &code),
        function + path_.string() + ": " + c.problem);
    EXPECT_EQ(code, static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(readFile(path_), text);
  }

  // The first line that is not blank or a comment must be the header.
  writeFile(path_,
            "; hand-written\n\nWindows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n");
  EXPECT_EQ(sysErrorOf([] { JSystemRegistryKey k(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta"); }),
            function + path_.string() + ": not a REGEDIT4 file");
  // A value before any section has no key.
  writeFile(path_, "REGEDIT4\n\"Orphan\"=\"x\"\n");
  EXPECT_EQ(sysErrorOf([] { JSystemRegistryKey k(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta"); }),
            function + path_.string() + ": line 2: value before the first section header");
}

TEST_F(RegistryFile, FileBrokenUnderAnOpenKeyFailsItsReadsAndWrites) {
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta");
  key.setDword("V", 1);
  const std::string text =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]\n\"V\"=dword:1x\n";
  writeFile(path_, text);
  const std::string where = "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta' : " + path_.string() +
                            ": line 4: dword: needs 1 to 8 hex digits";
  uint32_t v = 0;
  EXPECT_EQ(sysErrorOf([&] { key.getDword("V", v); }),
            "system call error at function 'Function=RegQueryValueEx, " + where);
  EXPECT_EQ(sysErrorOf([&] { key.enumSubKeys(); }),
            "system call error at function 'Function=RegQueryInfoKey, " + where);
  EXPECT_EQ(sysErrorOf([&] { key.setDword("W", 2); }),
            "system call error at function 'Function=RegSetValueEx, " + where);
  EXPECT_EQ(readFile(path_), text);
  // Repaired, it reads again.
  writeFile(path_, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]\n\"V\"=dword:1f\n");
  EXPECT_TRUE(key.getDword("V", v));
  EXPECT_EQ(v, 0x1Fu);
}

// A file of many keys, written by hand: keys in creation order (not sorted),
// a key split over two sections in different cases, and edits by another
// writer between reads, including one that keeps the file's size.
TEST_F(RegistryFile, LargeFileReadsInOrderWithoutRegardToCaseAndSeesEveryEdit) {
  constexpr int kKeys = 5000;
  auto name = [](int i) { return "Cam" + std::to_string((i * 7919) % kKeys); };
  auto fileWith = [&](const std::string& lastValue) {
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Cameras]\n\n";
    for (int i = 0; i < kKeys; ++i) {
      text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Cameras\\" + name(i) +
              "]\n\"Port\"=dword:" + std::to_string(1000 + i) + "\n\n";
    }
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\CAMERAS\\" + name(10) +
            "\\Lens]\n[hkey_local_machine\\software\\quorvanta\\cameras\\" + name(10) +
            "]\n\"Name\"=\"" + lastValue + "\"\n";
    return text;
  };
  writeFile(path_, fileWith("first"));

  JSystemRegistryKey cameras(HKEY_LOCAL_MACHINE, "Software\\Quorvanta\\Cameras", KEY_READ);
  const std::vector<std::string> names = cameras.enumSubKeys();
  ASSERT_EQ(names.size(), static_cast<size_t>(kKeys));
  for (int i = 0; i < kKeys; ++i) {
    ASSERT_EQ(names[static_cast<size_t>(i)], name(i));
  }
  JSystemRegistryKey tenth(HKEY_LOCAL_MACHINE, "SOFTWARE\\QUORVANTA\\cameras\\" + name(10),
                           KEY_READ);
  uint32_t port = 0;
  std::string text;
  ASSERT_TRUE(tenth.getDword("port", port));
  EXPECT_EQ(port, 0x1010u);  // "1010" read as hex
  ASSERT_TRUE(tenth.getString("NAME", text));
  EXPECT_EQ(text, "first");
  EXPECT_EQ(tenth.enumSubKeys(), std::vector<std::string>{"Lens"});

  // Another writer's edit of the same size, at once.
  writeFile(path_, fileWith("other"));
  ASSERT_TRUE(tenth.getString("Name", text));
  EXPECT_EQ(text, "other");
  // And a write through the store, then a second key read in the same file.
  JSystemRegistryKey writer(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Cameras\\" + name(4999));
  writer.setDword("Port", 7);
  JSystemRegistryKey last(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Cameras\\" + name(4999),
                          KEY_READ);
  ASSERT_TRUE(last.getDword("Port", port));
  EXPECT_EQ(port, 7u);
  EXPECT_EQ(cameras.enumSubKeys().size(), static_cast<size_t>(kKeys));
}

// A snapshot reads the file as it was, and so do the subkeys opened from it.
TEST_F(RegistryFile, SnapshotReadsOneStateOfTheFileAndWritesNothing) {
  JSystemRegistryKey log(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log");
  JSystemRegistryKey out;
  out.openSubKey(log, "Out");
  out.setString("Type", "File");
  const JSystemRegistryKey view = log.snapshot();
  out.setString("Type", "Console");
  JSystemRegistryKey added;
  added.openSubKey(log, "Added");

  EXPECT_EQ(view.enumSubKeys(), std::vector<std::string>{"Out"});
  JSystemRegistryKey viewOut;
  viewOut.openSubKey(view, "out");
  std::string type;
  ASSERT_TRUE(viewOut.getString("Type", type));
  EXPECT_EQ(type, "File");
  ASSERT_TRUE(out.getString("Type", type));
  EXPECT_EQ(type, "Console");

  uint32_t code = 0;
  EXPECT_EQ(sysErrorOf([&] { viewOut.setString("Type", "Syslog"); }, &code),
            "system call error at function 'Function=RegSetValueEx, "
            "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Log\\out' : Permission denied");
  // A subkey the snapshot does not hold is read from the file.
  JSystemRegistryKey viewAdded;
  viewAdded.openSubKey(view, "Added");
  added.setDword("V", 3);
  uint32_t v = 0;
  EXPECT_TRUE(viewAdded.getDword("V", v));
  EXPECT_EQ(v, 3u);
}

TEST_F(RegistryFile, DirectoryThatCannotBeCreatedFailsWithTheRegistryFunctionsName) {
  test::TempDir other;
  writeFile(other.path() / "plain", "not a directory");
  ::setenv("ZQ_REGISTRY_DIR", (other.path() / "plain" / "sub").c_str(), 1);
  uint32_t code = 0;
  EXPECT_EQ(sysErrorOf(
                [] { JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta", KEY_READ); },
                &code),
            "system call error at function 'Function=RegCreateKeyEx, "
            "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta' : " +
                (other.path() / "plain" / "sub" / "HKEY_LOCAL_MACHINE.reg").string() +
                ": Not a directory");
  EXPECT_EQ(code, static_cast<uint32_t>(ENOTDIR));
}

TEST_F(RegistryFile, ReadsAndEnumerationOfAnUnreadableStoreNameTheirFunctions) {
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta");
  test::TempDir other;
  writeFile(other.path() / "plain", "x");
  ::setenv("ZQ_REGISTRY_DIR", (other.path() / "plain" / "sub").c_str(), 1);
  const std::string file = (other.path() / "plain" / "sub" / "HKEY_LOCAL_MACHINE.reg").string();
  uint32_t v = 0;
  EXPECT_EQ(sysErrorOf([&] { key.getDword("V", v); }),
            "system call error at function 'Function=RegQueryValueEx, "
            "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta' : " +
                file + ": Not a directory");
  EXPECT_EQ(sysErrorOf([&] { key.enumSubKeys(); }),
            "system call error at function 'Function=RegQueryInfoKey, "
            "key=HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta' : " +
                file + ": Not a directory");
}

TEST_F(RegistryFile, OverlongSubkeyNameInAFileFailsEnumeration) {
  writeFile(path_, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K\\" + std::string(256, 'n') + "]\n");
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "K", KEY_READ);
  EXPECT_EQ(sysErrorOf([&] { key.enumSubKeys(); }),
            "system call error at function 'Function=RegEnumKeyEx, key=HKEY_LOCAL_MACHINE\\K' : "
            "File name too long");
  uint32_t code = 0;
  sysErrorOf([] { JSystemRegistryKey k(HKEY_LOCAL_MACHINE, "K\\" + std::string(256, 'm')); },
             &code);
  EXPECT_EQ(code, static_cast<uint32_t>(EINVAL));
}

TEST_F(RegistryFile, ReadOnlyStoreIsReadableWhenTheKeyExists) {
  JSystemRegistryKey writer(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta");
  writer.setDword("V", 5);
  // A directory standing where the lock file goes makes every write fail, as
  // a directory without write permission would for a user without rights.
  std::filesystem::remove(dir_.path() / "HKEY_LOCAL_MACHINE.reg.lock");
  std::filesystem::create_directory(dir_.path() / "HKEY_LOCAL_MACHINE.reg.lock");
  JSystemRegistryKey reader(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta", KEY_READ);
  uint32_t v = 0;
  EXPECT_TRUE(reader.getDword("V", v));
  EXPECT_EQ(v, 5u);
  EXPECT_NE(sysErrorOf([&] { writer.setDword("V", 6); }), "");
  EXPECT_NE(sysErrorOf([] { JSystemRegistryKey k(HKEY_LOCAL_MACHINE, "SOFTWARE\\New"); }), "");
}

TEST_F(RegistryFile, FlushMakesTheDirectoryDurable) {
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta");
  key.setDword("V", 1);
  EXPECT_NO_THROW(key.flush());
  std::filesystem::remove_all(dir_.path());
  EXPECT_NE(sysErrorOf([&] { key.flush(); }), "");
}

// ---- several writers -------------------------------------------------------

class RegistryConcurrency : public ::testing::Test {
 protected:
  ScopedRegistryDir dir_;
  JSystemRegistryKey key_{HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Shared"};
};

TEST_F(RegistryConcurrency, AnotherProcesssWriteIsSeenByAnOpenKey) {
  uint32_t v = 0;
  EXPECT_FALSE(key_.getDword("FromChild", v));
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      JSystemRegistryKey k(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Shared");
      k.setDword("FromChild", 42);
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(key_.getDword("FromChild", v));
  EXPECT_EQ(v, 42u);
}

TEST_F(RegistryConcurrency, WritersInTwoProcessesLoseNothing) {
  constexpr int kProcesses = 2;
  constexpr int kValues = 60;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        JSystemRegistryKey k(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Shared");
        for (int i = 0; i < kValues; ++i) {
          k.setDword("P" + std::to_string(p) + "_" + std::to_string(i), static_cast<uint32_t>(i));
          JSystemRegistryKey sub;
          sub.openSubKey(k, "Sub" + std::to_string(p) + "_" + std::to_string(i));
        }
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kValues; ++i) {
      uint32_t v = 9999;
      EXPECT_TRUE(key_.getDword("P" + std::to_string(p) + "_" + std::to_string(i), v));
      EXPECT_EQ(v, static_cast<uint32_t>(i));
    }
  }
  EXPECT_EQ(key_.enumSubKeys().size(), static_cast<size_t>(kProcesses * kValues));
}

TEST_F(RegistryConcurrency, WritersInSeveralThreadsLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kValues = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      try {
        JSystemRegistryKey k(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Shared");
        for (int i = 0; i < kValues; ++i) {
          k.setString("T" + std::to_string(t) + "_" + std::to_string(i), std::to_string(i));
        }
      } catch (const JError&) {
        ++failures;
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  EXPECT_EQ(failures.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kValues; ++i) {
      std::string v;
      EXPECT_TRUE(key_.getString("T" + std::to_string(t) + "_" + std::to_string(i), v));
      EXPECT_EQ(v, std::to_string(i));
    }
  }
}

TEST_F(RegistryConcurrency, ReadersSeeEitherTheOldOrTheNewFile) {
  const std::string a(4000, 'a');
  const std::string b(6000, 'b');
  key_.setString("Big", a);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    JSystemRegistryKey k(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Shared", KEY_READ);
    while (!stop.load()) {
      std::string v;
      try {
        if (!k.getString("Big", v) || (v != a && v != b)) {
          ++torn;
        }
      } catch (const JError&) {
        ++torn;
      }
      ++reads;
    }
  });
  // At least 100 rewrites, and on until the reader has read a few times
  // (a busy machine may not run it at once), within a generous bound.
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int i = 0; i < 100 || (reads.load() < 20 && std::chrono::steady_clock::now() < bound); ++i) {
    key_.setString("Big", i % 2 == 0 ? b : a);
  }
  stop.store(true);
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace zq

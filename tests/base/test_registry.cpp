// JSystemRegistryKey over the file store: values, keys and their order, the file an administrator
// edits and what of it survives, failures and their messages, writers in threads and processes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "base/error.h"
#include "base/registry_key.h"
#include "helpers/temp_dir.h"

namespace zq {
namespace {

using namespace std::string_literals;

// "<code>: <message>" of the JSysError `f` throws, or "" when it throws none.
std::string sysErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const JSysError& e) {
    return std::to_string(e.code()) + ": " + e.message();
  }
  return {};
}

// What sysErrorOf gives for `function` failing with `code` on HKEY_LOCAL_MACHINE\<path>.
std::string failure(const char* function, const std::string& path, int code,
                    const std::string& problem = "") {
  return std::to_string(code) + ": system call error at function 'Function=" + function +
         ", key=HKEY_LOCAL_MACHINE\\" + path +
         "' : " + (problem.empty() ? std::strerror(code) : problem);
}

int64_t dwordOf(const JSystemRegistryKey& key, std::string_view name) {
  uint32_t v = 0;
  return key.getDword(name, v) ? int64_t{v} : -1;
}

std::string stringOf(const JSystemRegistryKey& key, std::string_view name) {
  std::string s;
  return key.getString(name, s) ? s : "(none)";
}

const std::string kQuorvanta = "SOFTWARE\\Quorvanta";

class Registry : public ::testing::Test {
 protected:
  std::string file(const std::string& root = "HKEY_LOCAL_MACHINE") const {
    std::stringstream s;
    s << std::ifstream(dir_.path() / (root + ".reg"), std::ios::binary).rdbuf();
    return s.str();
  }
  void write(std::string_view text) const {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
  }
  // Reads, lists and writes on `key` all fail with `code` and `problem`.
  void expectEachCallFails(JSystemRegistryKey& key, int code, const std::string& problem) const {
    EXPECT_EQ(sysErrorOf([&] { dwordOf(key, "V"); }),
              failure("RegQueryValueEx", key.path(), code, problem));
    EXPECT_EQ(sysErrorOf([&] { key.enumSubKeys(); }),
              failure("RegQueryInfoKey", key.path(), code, problem));
    EXPECT_EQ(sysErrorOf([&] { key.setDword("W", 2); }),
              failure("RegSetValueEx", key.path(), code, problem));
  }

  test::ScopedRegistryDir dir_;
  std::filesystem::path path_ = dir_.path() / "HKEY_LOCAL_MACHINE.reg";
};

TEST_F(Registry, ValuesRoundTripAndAbsentOnesOrFailedCallsLeaveTheDefaults) {
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, kQuorvanta);
  JSystemRegistryKey reader(HKEY_LOCAL_MACHINE, kQuorvanta, KEY_READ);
  key.setString("Text", "12");
  key.setDword("Number", 12);
  uint32_t dword = 77;
  int number = -1;
  bool flag = true, two = false;
  std::string text = "keep";
  EXPECT_FALSE(key.getDword("Missing", dword) || key.getDword("Missing", number) ||
               key.getBool("Missing", flag) || key.getString("Missing", text));
  // A failed call names the key and changes nothing.
  const std::tuple<std::function<void()>, const char*, int> cases[] = {
      {[&] { key.getDword("Text", dword); }, "RegQueryValueEx", EINVAL},
      {[&] { key.getBool("Text", flag); }, "RegQueryValueEx", EINVAL},
      {[&] { key.getString("Number", text); }, "RegQueryValueEx", EINVAL},
      {[&] { key.setString("Format", "a\nb"); }, "RegSetValueEx", EINVAL},
      {[&] { key.setString("Format", "a\rb"); }, "RegSetValueEx", EINVAL},
      {[&] { reader.setDword("Number", 1); }, "RegSetValueEx", EACCES},
  };
  for (const auto& [call, function, error] : cases)
    EXPECT_EQ(sysErrorOf(call), failure(function, kQuorvanta, error));
  EXPECT_EQ(std::tuple(dword, number, flag, text), std::tuple(77u, -1, true, "keep"));
  EXPECT_FALSE(key.getString("Format", text));
  EXPECT_EQ(dwordOf(reader, "Number"), 12);
  // A snapshot reads the state it was taken in and writes nothing.
  JSystemRegistryKey view = key.snapshot();
  key.setDword("Number", 13);
  EXPECT_EQ(dwordOf(view, "Number"), 12);
  EXPECT_EQ(sysErrorOf([&] { view.setDword("Number", 1); }),
            failure("RegSetValueEx", kQuorvanta, EACCES));

  const std::string tricky = R"(C:\logs\ "quoted" \\server\ trailing\)";
  key.setDword("Mask", 0xFFFFFFFEu);
  key.setDword("Precedence", static_cast<uint32_t>(-1));
  key.setDword("Two", 2);
  key.setString("Path", tricky);
  key.setString("Empty", "");
  key.setDword("AllowMultiple", 1);
  key.setDword("allowmultiple", 2);  // keeps its first case
  key.setString("Level", "high");
  key.setDword("Level", 3);  // may change its kind
  key.setString("Gone", "soon");
  EXPECT_TRUE(key.deleteValue("gone") && !key.deleteValue("Gone"));
  uint32_t allow = 0, level = 0;
  std::string path, empty = "x", gone = "default";
  ASSERT_TRUE(key.getDword("Mask", dword) && key.getDword("Precedence", number) &&
              key.getBool("Two", two) && key.getString("Path", path) &&
              key.getString("Empty", empty) && key.getDword("ALLOWMULTIPLE", allow) &&
              key.getDword("Level", level));
  EXPECT_FALSE(key.getString("Gone", gone));
  EXPECT_EQ(std::tuple(dword, number, two, path, empty, allow, level, gone),
            std::tuple(0xFFFFFFFEu, -1, true, tricky, "", 2u, 3u, "default"));
  const std::string written = file();
  for (const char* line : {"\"Mask\"=dword:fffffffe\n", "\"AllowMultiple\"=dword:00000002\n",
                           R"("Path"="C:\\logs\\ \"quoted\" \\\\server\\ trailing\\")"}) {
    EXPECT_NE(written.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(written.find("allowmultiple"), std::string::npos);
  key.setDword("Bool", 0);
  EXPECT_TRUE(key.getBool("Bool", flag) && !flag);
}

TEST_F(Registry, KeysAreCreatedWithTheirParentsReopenedInAnyCaseAndNamedUpTo255Characters) {
  JSystemRegistryKey log(HKEY_LOCAL_MACHINE, kQuorvanta + "\\Log", KEY_READ);
  EXPECT_TRUE(log.isOpen());
  const std::string created =
      "REGEDIT4\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Log]\n\n";
  EXPECT_EQ(file(), created);
  JSystemRegistryKey again(HKEY_LOCAL_MACHINE, "software\\QUORVANTA\\log\\");
  EXPECT_EQ(file(), created);
  for (const char* name : {"Zeta", "Alpha", "Mid", "Alpha\\Deeper", "ALPHA"})
    JSystemRegistryKey().openSubKey(again, name);
  EXPECT_EQ(log.enumSubKeys(), (std::vector<std::string>{"Zeta", "Alpha", "Mid"}));
  JSystemRegistryKey alpha(HKEY_LOCAL_MACHINE, kQuorvanta + "\\Log\\Alpha");
  EXPECT_EQ(alpha.enumSubKeys(), std::vector<std::string>{"Deeper"});
  alpha.openSubKey(alpha, "Deeper");  // may reopen the same object
  EXPECT_EQ(alpha.path(), kQuorvanta + "\\Log\\Alpha\\Deeper");
  alpha.setDword("V", 1);
  EXPECT_EQ(
      dwordOf(JSystemRegistryKey(HKEY_LOCAL_MACHINE, kQuorvanta + "\\log\\alpha\\deeper"), "V"), 1);
  // Names of more than 255 characters are refused.
  write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K\\" + std::string(256, 'n') + "]\n");
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "K", KEY_READ);
  EXPECT_EQ(sysErrorOf([&] { key.enumSubKeys(); }), failure("RegEnumKeyEx", "K", ENAMETOOLONG));
  EXPECT_TRUE(sysErrorOf([] {
                JSystemRegistryKey k(HKEY_LOCAL_MACHINE, "K\\" + std::string(256, 'm'));
              }).starts_with(std::to_string(EINVAL) + ": "));
  EXPECT_NO_THROW(JSystemRegistryKey(HKEY_LOCAL_MACHINE, "K\\" + std::string(255, 'm')));
}

TEST_F(Registry, DeletedKeysTakeTheirSubtreeAndClosedKeysFail) {
  JSystemRegistryKey parent(HKEY_LOCAL_MACHINE, kQuorvanta);
  JSystemRegistryKey child(HKEY_LOCAL_MACHINE, kQuorvanta + "\\Old\\Leaf");
  child.setDword("V", 1);
  JSystemRegistryKey keep(HKEY_LOCAL_MACHINE, kQuorvanta + "\\Older");
  EXPECT_TRUE(parent.deleteKey("old"));
  EXPECT_FALSE(parent.deleteKey("Old"));
  EXPECT_EQ(parent.enumSubKeys(), std::vector<std::string>{"Older"});
  EXPECT_EQ(sysErrorOf([&] { dwordOf(child, "V"); }),
            failure("RegQueryValueEx", kQuorvanta + "\\Old\\Leaf", ENOENT));
  JSystemRegistryKey closed(HKEY_LOCAL_MACHINE, kQuorvanta), sub;
  closed.close();
  for (const std::function<void()>& call : std::vector<std::function<void()>>{
           [&] { child.setDword("V", 2); }, [&] { parent.deleteKey(""); },
           [&] { dwordOf(closed, "V"); }, [&] { closed.enumSubKeys(); }, [&] { closed.flush(); },
           [&] { sub.openSubKey(closed, "Log"); }}) {
    EXPECT_NE(sysErrorOf(call), "");
  }
}

TEST_F(Registry, HandEditedFileReadsAndWhatTheStoreDoesNotKnowSurvivesARewrite) {
  const std::string binary = "\"Blob\"=hex:01,02,03,\\\n  04,05\n";
  write(
      "; written by hand\r\nREGEDIT4\r\n\r\n; the log outputs\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Log\\File]\r\n"
      "  \"Type\" = \"File\"  \r\n\"AllowMultiple\"=DWORD:1\r\n"
      "\"Dir\"=\"C:\\logs\\\\x\"\r\n\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\Quorvanta\\Log\\Syslog]\r\n\"Server\"=\"127.0.0.1\"\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]\n; keep me\n" +
      binary +
      "\"Expand\"=hex(2):25,00,00,00\n@=\"default value\"\nnot a value, kept as written\n"
      "[HKEY_CURRENT_USER\\Elsewhere]\n\"Foreign\"=\"kept\"\n");
  JSystemRegistryKey file(HKEY_LOCAL_MACHINE, kQuorvanta + "\\Log\\File", KEY_READ);
  bool allow = false;
  EXPECT_TRUE(stringOf(file, "Type") == "File" && file.getBool("AllowMultiple", allow) && allow);
  EXPECT_EQ(stringOf(file, "Dir"), "C:\\logs\\x");  // only \\ and \" are escapes
  JSystemRegistryKey log(HKEY_LOCAL_MACHINE, kQuorvanta + "\\Log", KEY_READ);
  EXPECT_EQ(log.enumSubKeys(), (std::vector<std::string>{"File", "Syslog"}));
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, kQuorvanta);
  EXPECT_EQ(stringOf(key, ""), "default value");
  EXPECT_NE(sysErrorOf([&] { stringOf(key, "Blob"); }), "");

  key.setDword("Added", 1);
  const std::string after = this->file();
  for (const std::string& kept :
       {"; keep me\n" + binary, "\"Expand\"=hex(2):25,00,00,00\n"s, "@=\"default value\"\n"s,
        "not a value, kept as written\n[HKEY_CURRENT_USER"s,
        "[HKEY_CURRENT_USER\\Elsewhere]\n\"Foreign\"=\"kept\"\n"s, "\"Added\"=dword:00000001\n"s}) {
    EXPECT_NE(after.find(kept), std::string::npos) << kept;
  }
  key.setString("Blob", "replaced");  // takes the value's continuation line with it
  EXPECT_EQ(this->file().find("04,05"), std::string::npos);
}

// Every operation on the root of an unparsable file fails; the file is never rewritten.
TEST_F(Registry, BrokenFilesNameTheFileTheLineAndTheFault) {
  const std::string head = "REGEDIT4\n\n; comment\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]\n";
  const std::pair<std::string, const char*> cases[] = {
      {head + "\"A\"=\"x\"\r\n\"Path\"=\"C:\\logs\\\"\r\n", "line 6: unterminated string"},
      {head + "\"Level\"=dword:123456789\n", "line 5: dword: needs 1 to 8 hex digits"},
      {head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\Log\n",
       "line 5: section header does not end with ']'"},
      // The first line that is not blank or a comment must be the header.
      {"; hand-written\n\nWindows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\A]\n",
       "not a REGEDIT4 file"},
  };
  for (const auto& [text, problem] : cases) {
    SCOPED_TRACE(problem);
    write(text);
    EXPECT_EQ(sysErrorOf([] { JSystemRegistryKey k(HKEY_LOCAL_MACHINE, kQuorvanta); }),
              failure("RegCreateKeyEx", kQuorvanta, EINVAL, path_.string() + ": " + problem));
    EXPECT_EQ(file(), text);
  }
  // Broken under a key opened before, the file fails its reads and writes until repaired.
  write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta]\n\"V\"=dword:1f\n");
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, kQuorvanta);
  write(head + "\"V\"=dword:1x\n");
  expectEachCallFails(key, EINVAL, path_.string() + ": line 5: dword: needs 1 to 8 hex digits");
  EXPECT_EQ(file(), head + "\"V\"=dword:1x\n");
  write(head + "\"V\"=dword:1f\n");
  EXPECT_EQ(dwordOf(key, "V"), 0x1F);
}

TEST_F(Registry, WritersInProcessesAndThreadsLoseNothingAndReadersSeeOldOrNew) {
  constexpr int kWriters = 4, kValues = 40;  // the first two are processes
  JSystemRegistryKey key(HKEY_LOCAL_MACHINE, kQuorvanta);
  const std::string a(4000, 'a'), b(6000, 'b');
  key.setString("Big", a);
  EXPECT_EQ(dwordOf(key, "W0_0"), -1);
  auto name = [](int w, int i) { return "W" + std::to_string(w) + "_" + std::to_string(i); };
  auto writeAll = [&](int w) {
    JSystemRegistryKey k(HKEY_LOCAL_MACHINE, kQuorvanta), sub;
    for (int i = 0; i < kValues; ++i) {
      k.setDword(name(w, i), static_cast<uint32_t>(i));
      sub.openSubKey(k, name(w, i));
    }
  };
  std::vector<pid_t> children;
  for (int w = 0; w < 2; ++w) {  // before any thread starts
    children.push_back(::fork());
    if (children.back() == 0)
      ::_exit(sysErrorOf([&] { writeAll(w); }).empty() ? 0 : 1);
  }
  std::atomic<int> failures{0}, torn{0}, reads{0};
  // Joined (the reader asked to stop first) however the test leaves, a failed write included.
  std::vector<std::jthread> threads;
  threads.emplace_back([&](std::stop_token stop) {
    JSystemRegistryKey k(HKEY_LOCAL_MACHINE, kQuorvanta, KEY_READ);
    for (std::string text; !stop.stop_requested(); ++reads) {
      bool whole = false;
      sysErrorOf([&] { whole = k.getString("Big", text) && (text == a || text == b); });
      torn += whole ? 0 : 1;
    }
  });
  for (int w = 2; w < kWriters; ++w)
    threads.emplace_back([&, w] { failures += sysErrorOf([&] { writeAll(w); }).empty() ? 0 : 1; });
  // On until the reader has read a few times: a busy machine may not run it at once.
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string writeError;
  for (int i = 0;
       writeError.empty() && (i < 100 || (reads < 20 && std::chrono::steady_clock::now() < bound));
       ++i)
    writeError = sysErrorOf([&] { key.setString("Big", i % 2 == 0 ? b : a); });
  for (pid_t child : children) {
    int status = -1;
    EXPECT_TRUE(child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0);
  }
  threads.clear();
  EXPECT_EQ(std::tuple(writeError, failures.load(), torn.load(), reads.load() > 0),
            std::tuple("", 0, 0, true));
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kValues; ++i)
      EXPECT_EQ(dwordOf(key, name(w, i)), i);
  EXPECT_EQ(key.enumSubKeys().size(), static_cast<size_t>(kWriters * kValues));
}

}  // namespace
}  // namespace zq

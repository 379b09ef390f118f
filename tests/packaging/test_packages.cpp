// The Debian packages of this build (packaging/): CPack makes them from the
// programs already built, lintian finds no error in them, each holds its
// programs, pages and files (the web console's page where its program
// looks), and systemd accepts the output's unit as shipped, hardened.
// Skipped, with the reason, where a tool is missing.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "helpers/temp_dir.h"

namespace zq {
namespace {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and error
};

Outcome run(const std::string& command) {
  Outcome r;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    return r;
  }
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    r.output.append(buffer, n);
  }
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string missingTool() {
  for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps", "lintian", "systemd-analyze"}) {
    if (run(std::string("command -v ") + tool).status != 0) {
      return std::string(tool) + " is not installed (scripts/install-deps installs it)";
    }
  }
  return ZQ_PACKAGING ? "" : "help2man was not found when the build was configured";
}

TEST(Packages, BuildWithoutLintianErrorsHoldTheirFilesAndShipAHardenedUnit) {
  if (const std::string missing = missingTool(); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  test::TempDir dir;
  const Outcome cpack =
      run(std::string("cpack --config " ZQ_BINARY_DIR "/CPackConfig.cmake -B ") + dir.str());
  ASSERT_EQ(cpack.status, 0) << cpack.output;

  struct Package {
    const char* name;
    std::vector<const char*> files;
    const char* depends;  // one of its dependencies
    std::string deb = {};
  } packages[] = {
      {"zqoutput",
       {"./usr/bin/zqoutput", "./usr/lib/zqoutput/libzq_base.so",
        "./lib/systemd/system/zqoutput@.service", "./etc/zq/example.conf",
        "./usr/share/man/man1/zqoutput.1.gz", "./usr/share/doc/zqoutput/copyright"},
       "adduser"},
      {"zq-control",
       {"./usr/bin/zqctl", "./usr/bin/zqweb", "./usr/lib/zq/libZQAudioOutputController.so",
        "./usr/lib/zq/libzq_base.so", "./usr/lib/zq/libzq_com.so", "./usr/share/zq/www/index.html",
        "./usr/share/zq/www/js/main.js", "./usr/share/man/man1/zqctl.1.gz",
        "./usr/share/man/man1/zqweb.1.gz", "./usr/share/doc/zq-control/copyright"},
       "libmp3lame0"},
  };
  std::string debs;
  for (Package& p : packages) {
    SCOPED_TRACE(p.name);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      if (entry.path().filename().string().starts_with(std::string(p.name) + "_")) {
        p.deb = entry.path().string();
      }
    }
    ASSERT_FALSE(p.deb.empty()) << cpack.output;
    debs += " " + p.deb;
    const Outcome contents = run("dpkg-deb --contents " + p.deb);
    for (const char* file : p.files) {
      EXPECT_NE(contents.output.find(std::string(" ") + file + "\n"), std::string::npos)
          << file << " missing:\n"
          << contents.output;
    }
    EXPECT_NE(run("dpkg-deb --field " + p.deb + " Depends").output.find(p.depends),
              std::string::npos);
  }
  EXPECT_EQ(run("dpkg-deb --ctrl-tarfile " + packages[0].deb + " | tar -xO ./conffiles").output,
            "/etc/zq/example.conf\n");

  const Outcome lintian = run("lintian --tag-display-limit 0" + debs);
  EXPECT_EQ(lintian.output.find("E: "), std::string::npos) << lintian.output;
  std::printf("lintian: %s", lintian.output.c_str());

  // The unit as shipped, in the package's own tree: nothing is started.
  const std::string root = (dir.path() / "root").string();
  ASSERT_EQ(run("dpkg-deb --extract " + packages[0].deb + " " + root).status, 0);
  const Outcome verify = run("MANPATH=" + root + "/usr/share/man systemd-analyze verify " +
                             "--recursive-errors=no --root=" + root + " zqoutput@example.service");
  EXPECT_EQ(verify.status, 0) << verify.output;
  EXPECT_EQ(verify.output, "");
  // The programs as shipped find their libraries in their own package, and
  // the web console looks for its page where the package puts it, not in
  // the tree it was built from (nothing is installed here, so it stops at
  // once and says where it looked).
  ASSERT_EQ(run("dpkg-deb --extract " + packages[1].deb + " " + root).status, 0);
  struct Program {
    const char* command;
    int status;
    const char* says;
  } const programs[] = {
      {"/usr/bin/zqoutput --help", 0, "usage: zqoutput"},
      {"/usr/bin/zqctl --help", 0, "usage: zqctl"},
      {"/usr/bin/zqweb --listen 127.0.0.1:0", 1, "no page in /usr/share/zq/www"},
  };
  for (const Program& p : programs) {
    const Outcome ran = run("timeout 10 " + root + p.command);
    EXPECT_EQ(ran.status, p.status) << p.command << ": " << ran.output;
    EXPECT_NE(ran.output.find(p.says), std::string::npos) << p.command << ": " << ran.output;
  }
  // Hardened: an exposure of at most 2.5 of 10 (the figure is printed).
  const Outcome security = run("systemd-analyze security --offline=yes --threshold=25 " + root +
                               "/lib/systemd/system/zqoutput@.service");
  EXPECT_EQ(security.status, 0) << security.output;
  const size_t figure = security.output.find("Overall exposure level");
  ASSERT_NE(figure, std::string::npos) << security.output;
  std::printf("%s", security.output.substr(figure).c_str());
  // No root, a user of its own in the audio group, the state directory, and
  // the hardening every Debian service has.
  const Outcome unit = run(
      "grep -E '^(Restart|User|SupplementaryGroups|StateDirectory|NoNewPrivileges|ProtectSystem|"
      "ProtectHome|PrivateTmp)=' " +
      root + "/lib/systemd/system/zqoutput@.service");
  EXPECT_EQ(unit.output,
            "Restart=on-failure\nUser=zqoutput\nSupplementaryGroups=audio\n"
            "StateDirectory=zq zq/media\nNoNewPrivileges=yes\nProtectSystem=strict\n"
            "ProtectHome=yes\nPrivateTmp=yes\n");
}

}  // namespace
}  // namespace zq

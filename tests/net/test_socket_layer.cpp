// The count of socket layer users, balanced across threads, the descriptor
// limit, and the local host name.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/utsname.h>

#include <string>
#include <thread>
#include <vector>

#include "helpers/log_capture.h"
#include "net/host_name.h"
#include "net/socket_layer.h"

namespace zq {
namespace {

TEST(SocketLayer, HoldersCountTheirUsers) {
  const int before = JSocketLayer::users();
  {
    JSocketLayer::Holder first;
    EXPECT_EQ(JSocketLayer::users(), before + 1);
    {
      JSocketLayer::Holder second;
      EXPECT_EQ(JSocketLayer::users(), before + 2);
    }
    EXPECT_EQ(JSocketLayer::users(), before + 1);
  }
  EXPECT_EQ(JSocketLayer::users(), before);
}

TEST(SocketLayer, StopWithoutAUserChangesNothing) {
  while (JSocketLayer::users() > 0) {
    JSocketLayer::stop();
  }
  EXPECT_FALSE(JSocketLayer::stop());
  EXPECT_EQ(JSocketLayer::users(), 0);
  JSocketLayer::start();
  EXPECT_TRUE(JSocketLayer::stop());
  EXPECT_EQ(JSocketLayer::users(), 0);
}

TEST(SocketLayer, StartsAndStopsFromManyThreadsBalance) {
  const int before = JSocketLayer::users();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        JSocketLayer::start();
        JSocketLayer::stop();
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(JSocketLayer::users(), before);
}

TEST(SocketLayer, DescriptorLimitIsRaisedToTheHardLimitAndLogged) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < 64) {
    GTEST_SKIP() << "hard descriptor limit too low to lower the soft one";
  }
  const rlimit saved = limit;
  limit.rlim_cur = 32;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  test::LogCapture log;
  JSocketLayer::raiseDescriptorLimit();
  rlimit now{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(now.rlim_cur, saved.rlim_max);
  EXPECT_TRUE(log.contains("Descriptor limit raised from 32 to " +
                           std::to_string(static_cast<unsigned long long>(saved.rlim_max)) + "."));
}

TEST(HostName, IsTheSystemsNodeName) {
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(localHostName(), names.nodename);
  EXPECT_FALSE(localHostName().empty());
}

}  // namespace
}  // namespace zq

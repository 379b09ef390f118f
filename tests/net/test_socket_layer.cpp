// The count of socket layer users, balanced across threads, and the local
// host name.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <thread>
#include <vector>

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

TEST(HostName, IsTheSystemsNodeName) {
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(localHostName(), names.nodename);
  EXPECT_FALSE(localHostName().empty());
}

}  // namespace
}  // namespace zq

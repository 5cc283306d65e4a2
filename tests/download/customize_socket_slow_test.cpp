// The socket client's real time limits: 60 s before a receive gives up and
// 5 x 5 s before a connect does.
#include "download/customize_socket.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "platform/net/net.h"
#include "tests/download/test_support.h"

namespace net = platform::net;

namespace {
double SecondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}
}  // namespace

TEST(CustomizeSocketRealLimits, SilentServerMakesReceiveGiveUpAfterSixtySeconds) {
  qiv::test::LogCapture log;
  qiv::test::ScriptedServer server("", /*silent=*/true);
  CCustomizeSocket s;
  ASSERT_EQ(1, s.ConnectIp(net::TextToIp("127.0.0.1"), server.port()));
  char buf[16];
  auto t = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, s.Receive(buf, sizeof buf));
  double took = SecondsSince(t);
  EXPECT_GE(took, 59.9);
  EXPECT_LT(took, 65.0);
  EXPECT_EQ(1, s.connected());
  EXPECT_TRUE(log.Has("[WARN]", "socket, receive failed! select ret=[0], err=[0]."));
  s.Close();
}

TEST(CustomizeSocketRealLimits, UnansweredConnectGivesUpAfterTwentyFiveSeconds) {
  qiv::test::LogCapture log;
  int listener = net::Listen(net::TextToIp("127.0.0.1"), 0, 0);
  uint16_t port = net::LocalPort(listener);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int f = net::CreateTcpSocket();
    net::SetNonBlocking(f, true);
    net::StartConnect(f, net::TextToIp("127.0.0.1"), port);
    fillers.push_back(f);
  }
  CCustomizeSocket s;
  auto t = std::chrono::steady_clock::now();
  EXPECT_EQ(0, s.ConnectIp(net::TextToIp("127.0.0.1"), port));
  double took = SecondsSince(t);
  EXPECT_GE(took, 24.9);
  EXPECT_LT(took, 30.0);
  EXPECT_TRUE(log.Has("[ERROR]", "socket, ip=[127.0.0.1], fd count 0, err=[0]"));
  for (int f : fillers) net::CloseSocket(f);
  net::CloseSocket(listener);
}

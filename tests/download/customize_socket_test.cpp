#include "download/customize_socket.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "platform/net/net.h"
#include "testing/cdn/cdn_fixture.h"
#include "tests/download/test_support.h"

namespace net = platform::net;
using qiv::test::LogCapture;
using qiv::test::ScriptedServer;

namespace {

double SecondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

SocketLimits FastLimits() {
  SocketLimits l;
  l.connect_wait_ms = 100;
  l.receive_wait_ms = 300;
  l.send_wait_ms = 300;
  return l;
}

// A listener whose accept queue is full: later connects are never answered.
struct FullBacklog {
  FullBacklog() {
    listener = net::Listen(net::TextToIp("127.0.0.1"), 0, 0);
    port = net::LocalPort(listener);
    // Fill the queue with pending connections nobody accepts.
    for (int i = 0; i < 4; ++i) {
      int s = net::CreateTcpSocket();
      net::SetNonBlocking(s, true);
      net::StartConnect(s, net::TextToIp("127.0.0.1"), port);
      fillers.push_back(s);
    }
    for (int s : fillers) net::WaitWritable(s, 100);
  }
  ~FullBacklog() {
    for (int s : fillers) net::CloseSocket(s);
    net::CloseSocket(listener);
  }
  int listener = -1;
  uint16_t port = 0;
  std::vector<int> fillers;
};

}  // namespace

TEST(CustomizeSocket, ConnectsSendsAndReceives) {
  LogCapture log;
  ScriptedServer server("HELLO");
  CCustomizeSocket s;
  ASSERT_EQ(1, s.Connect(L"127.0.0.1", server.port()));
  EXPECT_EQ(1, s.connected());
  EXPECT_EQ(server.port(), s.port());
  EXPECT_EQ(L"127.0.0.1", s.GetIpText());
  EXPECT_EQ(net::TextToIp("127.0.0.1"), s.ip());
  EXPECT_TRUE(log.Has("[INFO]", "socket, connect ok, ip=[127.0.0.1]"));
  EXPECT_EQ(1, s.SendText(L"ping\r\n\r\n"));
  char buf[16] = {};
  int n = s.Receive(buf, sizeof buf);
  ASSERT_EQ(5, n);
  EXPECT_EQ("HELLO", std::string(buf, 5));
  s.Close();
  EXPECT_EQ(0, s.connected());
  EXPECT_EQ(0u, s.ip());
  s.Close();  // harmless on a closed instance
}

TEST(CustomizeSocket, PeerCloseGivesZeroThenNoConnected) {
  LogCapture log;
  ScriptedServer server("");  // answers nothing and closes
  CCustomizeSocket s;
  ASSERT_EQ(1, s.ConnectIp(net::TextToIp("127.0.0.1"), server.port()));
  ASSERT_EQ(1, s.SendText(L"GET / HTTP/1.1\r\n\r\n"));
  char buf[16];
  EXPECT_EQ(0, s.Receive(buf, sizeof buf));
  EXPECT_EQ(0, s.connected());
  EXPECT_TRUE(log.Has("[WARN]", "socket, receive failed! size=[0]."));
  EXPECT_EQ(-1, s.Receive(buf, sizeof buf));
  EXPECT_TRUE(log.Has("[ERROR]", "socket, receive failed! no connected."));
}

TEST(CustomizeSocket, BadArgumentsFailWithoutTouchingTheSocket) {
  LogCapture log;
  CCustomizeSocket s;
  char buf[4];
  EXPECT_EQ(-1, s.Receive(nullptr, 4));
  EXPECT_EQ(-1, s.Receive(buf, -1));
  EXPECT_EQ(0, s.Send(buf, 0));
  EXPECT_EQ(0, s.Send(nullptr, 4));
  EXPECT_EQ(0, s.Send(buf, 4));  // closed
  EXPECT_EQ(0, s.SendText(nullptr));
  EXPECT_EQ("", log.Text());  // none of these logs a line
  EXPECT_EQ(0, s.Connect(nullptr, 80));
  EXPECT_TRUE(log.Has("[WARN]", "socket, host is empty."));
  EXPECT_EQ(0, s.Connect(L"", 80));
  EXPECT_TRUE(log.Has("[ERROR]", "socket, no find host."));
  EXPECT_EQ(0u, CCustomizeSocket::ResolveHost(nullptr));
}

TEST(CustomizeSocket, SilentServerTimesOutAndStaysConnected) {
  LogCapture log;
  ScriptedServer server("", /*silent=*/true);
  CCustomizeSocket s(FastLimits());
  ASSERT_EQ(1, s.ConnectIp(net::TextToIp("127.0.0.1"), server.port()));
  char buf[16];
  auto t = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, s.Receive(buf, sizeof buf));
  EXPECT_GE(SecondsSince(t), 0.29);
  EXPECT_EQ(1, s.connected());
  EXPECT_TRUE(log.Has("[WARN]", "socket, receive failed! select ret=[0], err=[0]."));
  s.Close();
}

TEST(CustomizeSocket, RefusedConnectFailsAndLeavesItClosed) {
  LogCapture log;
  int l = net::Listen(net::TextToIp("127.0.0.1"), 0, 1);
  uint16_t port = net::LocalPort(l);
  net::CloseSocket(l);  // nothing listens there now
  CCustomizeSocket s(FastLimits());
  EXPECT_EQ(0, s.ConnectIp(net::TextToIp("127.0.0.1"), port));
  EXPECT_EQ(0, s.connected());
  EXPECT_NE(std::string::npos, log.Text().find("socket, connect failed! ip=[127.0.0.1], ret=[-1], err=[111]"));
}

TEST(CustomizeSocket, UnansweredConnectGivesUpAfterItsWaits) {
  LogCapture log;
  FullBacklog backlog;
  CCustomizeSocket s(FastLimits());  // 5 waits of 100 ms
  auto t = std::chrono::steady_clock::now();
  EXPECT_EQ(0, s.ConnectIp(net::TextToIp("127.0.0.1"), backlog.port));
  double took = SecondsSince(t);
  EXPECT_GE(took, 0.49);
  EXPECT_LT(took, 3.0);
  EXPECT_EQ(0, s.connected());
  EXPECT_TRUE(log.Has("[ERROR]", "socket, ip=[127.0.0.1], fd count 0, err=[0]"));
  // A closed instance connects again.
  ScriptedServer server("x");
  EXPECT_EQ(1, s.ConnectIp(net::TextToIp("127.0.0.1"), server.port()));
  s.Close();
}

TEST(CustomizeSocket, ShutdownFromAnotherThreadWakesReceiveAndConnect) {
  LogCapture log;
  ScriptedServer server("", /*silent=*/true);
  CCustomizeSocket s;  // the real 60 s receive and 25 s connect limits
  ASSERT_EQ(1, s.ConnectIp(net::TextToIp("127.0.0.1"), server.port()));
  std::atomic<bool> done{false};
  std::thread stopper([&] {
    while (!done.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      s.Shutdown();
    }
  });
  char buf[16];
  auto t = std::chrono::steady_clock::now();
  EXPECT_EQ(0, s.Receive(buf, sizeof buf));
  EXPECT_LT(SecondsSince(t), 5.0);

  FullBacklog backlog;
  t = std::chrono::steady_clock::now();
  EXPECT_EQ(0, s.ConnectIp(net::TextToIp("127.0.0.1"), backlog.port));
  EXPECT_LT(SecondsSince(t), 5.0);
  done.store(true);
  stopper.join();
  EXPECT_EQ(0, s.connected());
}

TEST(CustomizeSocket, NameWithSeveralAddressesConnectsToTheFirst) {
  QIV_RUN_IN_MOUNT_NAMESPACE(qiv::testing::PrivateHostsSetup("127.0.0.3 multi.test\n127.0.0.2 multi.test\n"));
  int a = net::Listen(net::TextToIp("127.0.0.2"), 0, 4);
  uint16_t port = net::LocalPort(a);
  int b = net::Listen(net::TextToIp("127.0.0.3"), port, 4);
  ASSERT_GE(b, 0);
  EXPECT_EQ(net::TextToIp("127.0.0.3"), CCustomizeSocket::ResolveHost(L"multi.test"));
  CCustomizeSocket s;
  ASSERT_EQ(1, s.Connect(L"multi.test", port));
  EXPECT_EQ(L"127.0.0.3", s.GetIpText());
  s.Close();
  net::CloseSocket(a);
  net::CloseSocket(b);
}

#include "platform/net/net.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/net/head_probe.h"

namespace net = platform::net;

TEST(Net, AddressesAndResolution) {
  EXPECT_EQ("127.0.0.2", net::IpToText(net::TextToIp("127.0.0.2")));
  EXPECT_EQ(0u, net::TextToIp("127.0.0"));
  EXPECT_EQ(0u, net::TextToIp("not an address"));
  auto local = net::ResolveIPv4("localhost");
  ASSERT_FALSE(local.empty());
  EXPECT_EQ("127.0.0.1", net::IpToText(local.front()));
  EXPECT_TRUE(net::ResolveIPv4("").empty());
  auto literal = net::ResolveIPv4("127.0.0.5");
  ASSERT_EQ(1u, literal.size());
  EXPECT_EQ(net::TextToIp("127.0.0.5"), literal[0]);
}

TEST(Net, NonBlockingConnectWaitsAndErrors) {
  int l = net::Listen(net::TextToIp("127.0.0.1"), 0, 4);
  ASSERT_GE(l, 0);
  uint16_t port = net::LocalPort(l);
  int c = net::CreateTcpSocket();
  ASSERT_EQ(0, net::SetNonBlocking(c, true));
  int r = net::StartConnect(c, net::TextToIp("127.0.0.1"), port);
  EXPECT_TRUE(r == 0 || net::IsConnectPending(net::LastError()));
  EXPECT_EQ(1, net::WaitWritable(c, 2000));
  EXPECT_EQ(0, net::SocketError(c));
  EXPECT_EQ(0, net::WaitReadable(c, 50));  // nothing to read yet
  int a = net::Accept(l);
  ASSERT_GE(a, 0);
  EXPECT_EQ(3, net::SendBytes(a, "abc", 3));
  EXPECT_EQ(1, net::WaitReadable(c, 2000));
  char buf[8];
  EXPECT_EQ(3, net::ReceiveBytes(c, buf, sizeof buf));
  net::CloseSocket(a);
  EXPECT_EQ(1, net::WaitReadable(c, 2000));
  EXPECT_EQ(0, net::ReceiveBytes(c, buf, sizeof buf));  // orderly close
  // Sending to a peer that is gone fails with an error, never with SIGPIPE.
  ssize_t sent = 1;
  for (int i = 0; i < 100 && sent > 0; ++i) {
    sent = net::SendBytes(c, "x", 1);
    if (sent > 0) ::usleep(10000);
  }
  EXPECT_EQ(-1, sent);
  EXPECT_TRUE(net::LastError() == EPIPE || net::LastError() == ECONNRESET) << net::LastError();
  net::CloseSocket(c);
  // A closed port: the pending error tells.
  net::CloseSocket(l);
  c = net::CreateTcpSocket();
  net::SetNonBlocking(c, true);
  if (net::StartConnect(c, net::TextToIp("127.0.0.1"), port) != 0 && net::IsConnectPending(net::LastError())) {
    EXPECT_EQ(1, net::WaitWritable(c, 2000));
    EXPECT_EQ(ECONNREFUSED, net::SocketError(c));
  } else {
    EXPECT_EQ(ECONNREFUSED, net::LastError());
  }
  net::CloseSocket(c);
  EXPECT_EQ(-1, net::WaitReadable(c, 10));  // a closed handle
}

TEST(Net, HeadProbeOfAClosedPortFailsAtConnect) {
  int l = net::Listen(net::TextToIp("127.0.0.1"), 0, 1);
  uint16_t port = net::LocalPort(l);
  net::CloseSocket(l);
  net::HeadProbeResult r = net::HeadProbe("http", "cdn.example", port, "/x", net::TextToIp("127.0.0.1"),
                                          net::HeadProbeTimeouts{1000, 1000, 1000, 1000});
  EXPECT_EQ(net::HeadProbeStage::kConnect, r.stage);
  EXPECT_EQ(7, r.error);  // could not connect
}

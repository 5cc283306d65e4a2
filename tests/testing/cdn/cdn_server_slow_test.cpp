// The test CDN's speed: a 1 GiB file goes out at several hundred MB/s on an
// idle machine (about 1 GB/s measured); the bound leaves room for sanitizer
// builds on a busy two-core machine.
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/net/net.h"
#include "testing/cdn/cdn_fixture.h"

namespace net = platform::net;

TEST(CdnSpeed, ServesOneGibibyteFast) {
  qiv::testing::CdnServer cdn;
  ASSERT_TRUE(cdn.Start({"127.0.0.2"}));
  const int64_t size = 1ll << 30;
  {
    // Zeros are as good as any bytes for the transfer speed.
    int fd = ::open((cdn.root() + "/big.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(0, ::ftruncate(fd, size));
    ::close(fd);
  }
  int s = net::CreateTcpSocket();
  ASSERT_EQ(0, net::StartConnect(s, net::TextToIp("127.0.0.2"), cdn.port()));
  std::string req = "GET /big.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  net::SendBytes(s, req.data(), req.size());
  std::vector<char> buf(4 << 20);
  int64_t got = 0;
  auto t = std::chrono::steady_clock::now();
  for (;;) {
    ssize_t n = net::ReceiveBytes(s, buf.data(), buf.size());
    if (n <= 0) break;
    got += n;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  net::CloseSocket(s);
  EXPECT_GT(got, size);  // head and body
  double mb_per_s = static_cast<double>(size) / secs / 1e6;
  std::printf("served %.0f MB/s\n", mb_per_s);
  EXPECT_GT(mb_per_s, 100.0);
  auto log = cdn.Requests();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(size, log[0].body_bytes);
  EXPECT_EQ(0, cdn.Stop());
}

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

#include "platform/net/net.h"
#include "testing/cdn/cdn_fixture.h"

namespace net = platform::net;
using qiv::testing::CdnRule;
using qiv::testing::CdnServer;

namespace {

struct Answer {
  std::string head, body;
  int error = 0;  // errno of a failed receive (ECONNRESET for a reset)
  double seconds = 0;
};

Answer Fetch(const std::string& addr, uint16_t port, const std::string& method, const std::string& target,
             const std::string& extra = "", double give_up_after = 30) {
  Answer a;
  auto t = std::chrono::steady_clock::now();
  int s = net::CreateTcpSocket();
  if (net::StartConnect(s, net::TextToIp(addr), port) != 0) {
    a.error = errno;
    net::CloseSocket(s);
    return a;
  }
  std::string req = method + " " + target + " HTTP/1.1\r\nHost: x\r\n" + extra + "Connection: close\r\n\r\n";
  net::SendBytes(s, req.data(), req.size());
  std::string all;
  std::vector<char> buf(1 << 20);
  for (;;) {
    double left = give_up_after - std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    if (left <= 0 || net::WaitReadable(s, static_cast<int>(left * 1000)) <= 0) break;
    ssize_t n = net::ReceiveBytes(s, buf.data(), buf.size());
    if (n < 0) a.error = errno;
    if (n <= 0) break;
    all.append(buf.data(), static_cast<size_t>(n));
  }
  net::CloseSocket(s);
  a.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  size_t blank = all.find("\r\n\r\n");
  a.head = all.substr(0, blank == std::string::npos ? all.size() : blank + 2);
  if (blank != std::string::npos) a.body = all.substr(blank + 4);
  return a;
}

std::string Pattern(uint32_t seed, int64_t from, int64_t count) {
  std::string s;
  for (int64_t i = 0; i < count; ++i) s.push_back(static_cast<char>(CdnServer::PatternByte(seed, from + i)));
  return s;
}

class Cdn : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cdn.Start({"127.0.0.2", "127.0.0.3"}));
    ASSERT_TRUE(cdn.AddFile("/dir/file.bin", 100000, 5));
  }
  void TearDown() override { EXPECT_EQ(0, cdn.Stop()); }  // clean exit, no sanitizer report
  CdnServer cdn;
};

}  // namespace

TEST_F(Cdn, ServesHeadGetAndRangesOnEveryAddress) {
  Answer head = Fetch("127.0.0.3", cdn.port(), "HEAD", "/dir/file.bin");
  EXPECT_EQ(0u, head.head.find("HTTP/1.1 200 OK\r\n"));
  EXPECT_NE(std::string::npos, head.head.find("\r\nContent-Length: 100000\r\n"));
  EXPECT_EQ("", head.body);
  Answer whole = Fetch("127.0.0.2", cdn.port(), "GET", "/dir/file.bin");
  EXPECT_EQ(Pattern(5, 0, 100000), whole.body);
  Answer part = Fetch("127.0.0.2", cdn.port(), "GET", "/dir/file.bin", "Range: bytes=10-19\r\n");
  EXPECT_EQ(0u, part.head.find("HTTP/1.1 206 Partial Content\r\n"));
  EXPECT_NE(std::string::npos, part.head.find("\r\nContent-Range: bytes 10-19/100000\r\n"));
  EXPECT_EQ(Pattern(5, 10, 10), part.body);
  Answer tail = Fetch("127.0.0.3", cdn.port(), "GET", "/dir/file.bin", "range: bytes=99990-\r\n");
  EXPECT_EQ(Pattern(5, 99990, 10), tail.body);
  Answer past = Fetch("127.0.0.3", cdn.port(), "GET", "/dir/file.bin", "Range: bytes=100000-\r\n");
  EXPECT_EQ(0u, past.head.find("HTTP/1.1 416 "));
  Answer missing = Fetch("127.0.0.3", cdn.port(), "GET", "/nothing.bin");
  EXPECT_EQ(0u, missing.head.find("HTTP/1.1 404 "));
  Answer escape = Fetch("127.0.0.3", cdn.port(), "GET", "/../etc/passwd");
  EXPECT_EQ(0u, escape.head.find("HTTP/1.1 404 "));

  auto log = cdn.Requests();
  ASSERT_EQ(7u, log.size());
  EXPECT_EQ("127.0.0.3", log[0].addr);
  EXPECT_EQ("HEAD", log[0].method);
  EXPECT_EQ(0, log[0].body_bytes);
  EXPECT_EQ(100000, log[1].body_bytes);
  EXPECT_EQ("bytes=10-19", log[2].range);
  EXPECT_EQ(206, log[2].status);
  EXPECT_EQ(10, log[2].body_bytes);
  EXPECT_EQ("-", log[1].range);
  EXPECT_EQ(416, log[4].status);
  ASSERT_TRUE(cdn.Clear());
  EXPECT_TRUE(cdn.Requests().empty());
}

TEST_F(Cdn, RulesShapeAnswersPerAddressAndFile) {
  struct Case {
    CdnRule rule;
    std::string expect_in_head, absent_from_head;
    size_t body;
  };
  auto make = [](auto set) {
    CdnRule r;
    set(r);
    return r;
  };
  Case cases[] = {
      {make([](CdnRule& r) { r.no_ranges = true; }), "HTTP/1.1 200 OK\r\n", "Content-Range", 100000},
      {make([](CdnRule& r) { r.no_length = true; }), "HTTP/1.1 206 ", "Content-Length", 10},
      {make([](CdnRule& r) { r.header_case = "lower"; }), "\r\ncontent-length: 10\r\n", "Content-Length", 10},
      {make([](CdnRule& r) { r.header_case = "upper"; }), "\r\nCONTENT-RANGE: bytes 0-9/100000\r\n", "Content-", 10},
      {make([](CdnRule& r) { r.redirect = "../a/b.bin"; }), "HTTP/1.1 302 Moved\r\nLocation: ../a/b.bin\r\n", "", 6},
      {make([](CdnRule& r) { r.redirect = "http://127.0.0.3/x"; r.redirect_code = 301; }),
       "HTTP/1.1 301 Moved\r\nLocation: http://127.0.0.3/x\r\n", "", 6},
      {make([](CdnRule& r) { r.status = 404; }), "HTTP/1.1 404 Not Found\r\n", "Location", 10},
      {make([](CdnRule& r) { r.status = 500; }), "HTTP/1.1 500 Error\r\n", "", 6},
      {make([](CdnRule& r) { r.report_size = 5000000; }), "Content-Range: bytes 0-9/5000000\r\n", "", 10},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(cdn.SetRule("127.0.0.2", "/dir/file.bin", c.rule));
    Answer a = Fetch("127.0.0.2", cdn.port(), "GET", "/dir/file.bin", "Range: bytes=0-9\r\n");
    EXPECT_NE(std::string::npos, a.head.find(c.expect_in_head)) << a.head;
    if (!c.absent_from_head.empty()) {
      EXPECT_EQ(std::string::npos, a.head.find(c.absent_from_head)) << a.head;
    }
    EXPECT_EQ(c.body, a.body.size()) << a.head;
    // The other address is untouched.
    Answer other = Fetch("127.0.0.3", cdn.port(), "GET", "/dir/file.bin", "Range: bytes=0-9\r\n");
    EXPECT_EQ(0u, other.head.find("HTTP/1.1 206 Partial Content\r\n"));
    EXPECT_EQ(Pattern(5, 0, 10), other.body);
  }
  // Wildcards: (*, file) applies to every address; (addr, file) wins over it.
  CdnRule gone, fine;
  gone.status = 404;
  ASSERT_TRUE(cdn.SetRule("*", "/dir/file.bin", gone));
  ASSERT_TRUE(cdn.SetRule("127.0.0.2", "/dir/file.bin", fine));
  EXPECT_EQ(0u, Fetch("127.0.0.3", cdn.port(), "GET", "/dir/file.bin").head.find("HTTP/1.1 404"));
  EXPECT_EQ(0u, Fetch("127.0.0.2", cdn.port(), "GET", "/dir/file.bin").head.find("HTTP/1.1 200"));
}

TEST_F(Cdn, RateLimitTrickleAndReset) {
  CdnRule rate, trickle, reset;
  rate.rate = 100000;
  trickle.trickle = true;
  reset.reset_after = 5000;
  ASSERT_TRUE(cdn.SetRule("127.0.0.2", "*", rate));
  ASSERT_TRUE(cdn.SetRule("127.0.0.3", "*", trickle));
  Answer slow = Fetch("127.0.0.2", cdn.port(), "GET", "/dir/file.bin");
  EXPECT_EQ(Pattern(5, 0, 100000), slow.body);
  EXPECT_GE(slow.seconds, 0.9);
  EXPECT_LT(slow.seconds, 3.0);
  Answer trickled = Fetch("127.0.0.3", cdn.port(), "GET", "/dir/file.bin", "", 2.0);
  EXPECT_GT(trickled.body.size(), 0u);
  EXPECT_LT(trickled.body.size(), 2048u);  // under 1 KiB/s
  ASSERT_TRUE(cdn.SetRule("127.0.0.3", "*", reset));
  Answer cut = Fetch("127.0.0.3", cdn.port(), "GET", "/dir/file.bin");
  EXPECT_EQ(ECONNRESET, cut.error);
  EXPECT_LE(cut.body.size(), 5000u);
  // Records are written as requests end: the trickle ends when the server
  // notices that its client left, so compare them as a set.
  auto log = cdn.Requests();
  ASSERT_EQ(3u, log.size());
  std::multiset<int64_t> sent;
  for (const auto& r : log) sent.insert(r.body_bytes);
  EXPECT_EQ(1u, sent.count(100000));
  EXPECT_EQ(1u, sent.count(5000));
  EXPECT_LT(*sent.begin(), 2048);
}

TEST_F(Cdn, SilentRuleNeverAnswersAndStopStillEndsCleanly) {
  CdnRule hang;
  hang.hang = true;
  ASSERT_TRUE(cdn.SetRule("*", "*", hang));
  int s = net::CreateTcpSocket();
  ASSERT_EQ(0, net::StartConnect(s, net::TextToIp("127.0.0.2"), cdn.port()));
  std::string req = "GET /dir/file.bin HTTP/1.1\r\nHost: x\r\n\r\n";
  net::SendBytes(s, req.data(), req.size());
  EXPECT_EQ(0, net::WaitReadable(s, 500));
  auto t = std::chrono::steady_clock::now();
  EXPECT_EQ(0, cdn.Stop());
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count(), 3.0);
  char c;
  EXPECT_GT(net::WaitReadable(s, 2000), 0);
  EXPECT_LE(net::ReceiveBytes(s, &c, 1), 0);  // the server cut the connection
  net::CloseSocket(s);
  ASSERT_TRUE(cdn.Start({"127.0.0.2"}));  // for TearDown
}

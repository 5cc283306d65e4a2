#include "download/curl_request.h"

#include <chrono>
#include <gtest/gtest.h>

#include "platform/net/net.h"
#include "testing/cdn/cdn_fixture.h"
#include "tests/download/test_support.h"

using qiv::test::LogCapture;

namespace {
std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

class CurlCdn : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(cdn.Start({"127.0.0.2"})); }
  void TearDown() override { EXPECT_EQ(0, cdn.Stop()); }
  qiv::testing::CdnServer cdn;
};
}  // namespace

TEST_F(CurlCdn, BodyLosesLineEndsAndHeadersFollow) {
  ASSERT_TRUE(cdn.WriteFile("/conf.xml", "<a>\r\n<b/>\r\n</a>\n"));
  std::string plain = CurlRequest(W(cdn.Url("127.0.0.2", "/conf.xml")), false, {}, false, false);
  EXPECT_EQ("<a><b/></a>\n", plain);
  std::string with_headers = CurlRequest(W(cdn.Url("127.0.0.2", "/conf.xml")), false, {}, true, true);
  EXPECT_EQ(0u, with_headers.find("<a><b/></a>\nHTTP/1.1 200 OK\r\n"));
  EXPECT_NE(std::string::npos, with_headers.find("\r\nContent-Length: 16\r\n"));
}

TEST_F(CurlCdn, NotFoundEndsAfterOneAttempt) {
  LogCapture log;
  std::string answer = CurlRequest(W(cdn.Url("127.0.0.2", "/missing.xml")), false, {}, false, false);
  EXPECT_EQ("Not Found\n", answer);
  EXPECT_EQ(1u, cdn.Requests().size());
  EXPECT_EQ(0, log.Count("[WARN]", "curl easy perform nHttpCode=[0], retry=[1]."));
}

TEST(CurlRequest, ClosedPortIsTriedThreeTimes100MsApart) {
  LogCapture log;
  int l = platform::net::Listen(platform::net::TextToIp("127.0.0.1"), 0, 1);
  uint16_t port = platform::net::LocalPort(l);
  platform::net::CloseSocket(l);
  auto t = std::chrono::steady_clock::now();
  std::string answer = CurlRequest(L"http://127.0.0.1:" + std::to_wstring(port) + L"/x", false, {}, false, false);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  EXPECT_EQ("", answer);
  EXPECT_GE(took, 0.3);
  EXPECT_LT(took, 3.5);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_TRUE(log.Has("[WARN]", "curl easy perform nHttpCode=[0], retry=[" + std::to_string(i) + "]."));
  }
  EXPECT_EQ(3, log.Count("[ERROR]", "curl request, curl easy perform failed, code=[7]."));
}

TEST_F(CurlCdn, RemoteFileSize) {
  ASSERT_TRUE(cdn.AddFile("/setup.exe", 123457));
  ASSERT_TRUE(cdn.AddFile("/lower.exe", 99));
  ASSERT_TRUE(cdn.AddFile("/nolength.exe", 99));
  qiv::testing::CdnRule lower, nolength, moved, gone;
  lower.header_case = "lower";
  nolength.no_length = true;
  moved.redirect = "/setup.exe";
  gone.status = 404;
  ASSERT_TRUE(cdn.SetRule("*", "/lower.exe", lower));
  ASSERT_TRUE(cdn.SetRule("*", "/nolength.exe", nolength));
  ASSERT_TRUE(cdn.SetRule("*", "/moved.exe", moved));
  ASSERT_TRUE(cdn.SetRule("*", "/gone.exe", gone));
  struct Case {
    std::string file;
    int64_t size;
  } cases[] = {
      {"/setup.exe", 123457},
      {"/lower.exe", 0},     // "content-length:" is not "Content-Length:"
      {"/nolength.exe", 0},
      {"/moved.exe", 123457},  // the redirect's own length does not count
      {"/gone.exe", 0},        // nor does an error page's
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.size, GetRemoteFileSize(W(cdn.Url("127.0.0.2", c.file)), L"")) << c.file;
  }
  EXPECT_EQ(123457, GetRemoteFileSize(W(cdn.Url("127.0.0.2", "/setup.exe")), L"cdn.example"));
  for (const auto& r : cdn.Requests()) EXPECT_EQ("HEAD", r.method);
}

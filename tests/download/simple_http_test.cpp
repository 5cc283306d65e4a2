#include "download/simple_http.h"

#include <gtest/gtest.h>

#include "download/http_text.h"
#include "platform/text/text.h"
#include "testing/cdn/cdn_fixture.h"
#include "tests/download/test_support.h"

using qiv::test::LogCapture;
using qiv::test::ScriptedServer;

TEST(HttpText, UrlDecode) {
  struct Case {
    std::wstring in, out;
  } cases[] = {
      {L"a%20b", L"a b"},
      {L"%41%62c", L"Abc"},
      {L"%zz", L"%zz"},          // first character after "%" is not hex: copied
      {L"%4G!", L"\x04!"},       // only the first character is tested; both are consumed
      {L"100%", L"100%"},        // "%" at the end
      {L"%4", L"\x04"},          // text ends after one digit
      {L"%2Fpath%3a", L"/path:"},
      {L"", L""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.out, UrlDecode(c.in)) << std::string(c.in.begin(), c.in.end());
}

TEST(HttpText, ParseStatusCode) {
  struct Case {
    std::wstring in;
    int code;
  } cases[] = {
      {L"HTTP/1.1 200 OK", 200},
      {L"HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n", 302},
      {L"HTTP/1.0  404  Not Found", 404},
      {L"HTTP/1.1 206\r\nContent-Length: 5", 206},
      {L"HTTP/1.1", 0},            // no blank
      {L"", 0},
      {L"garbage here", 0},
      {L"HTTP/1.1 99999999999999999999 Big", 0},
      {L"HTTP/1.1 2x0", 2},
      {L"\x01\x02 \x03", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.code, ParseStatusCode(c.in)) << std::string(c.in.begin(), c.in.end());
}

TEST(SimpleHttp, ParseUrl) {
  struct Case {
    std::wstring url;
    int ok;
    std::wstring host;
    uint16_t port;
    std::wstring path;
  } cases[] = {
      {L"http://example.com", 0, L"", 0, L""},  // no path
      {L"http://example.com/", 1, L"example.com", 80, L"/"},
      {L"HTTP://Example.COM:8080/Dir/My File+1.xml?a=B", 1, L"example.com", 8080, L"/Dir/My%20File%2B1.xml?a=B"},
      {L"  example.com\\a\\b  ", 1, L"example.com", 80, L"/a/b"},  // no scheme: http; backslashes
      {L"https://example.com/", 0, L"example.com", 80, L"/"},       // HTTPS is not served here
      {L"ftp://example.com/x", 0, L"example.com", 80, L"/x"},
      {L"http:///x", 0, L"", 80, L"/x"},                            // empty host
      {L"http://h:0/", 0, L"h", 0, L"/"},
      {L"http://h:65536/", 0, L"h", 0, L"/"},
      {L"http://h:80a/", 0, L"h", 0, L"/"},
      {L"http://h:/", 0, L"h", 0, L"/"},
      {L"", 0, L"", 0, L""},
  };
  for (const Case& c : cases) {
    CSimpleHttp http;
    EXPECT_EQ(c.ok, http.ParseUrl(c.url)) << std::string(c.url.begin(), c.url.end());
    if (c.ok) {
      EXPECT_EQ(c.host, http.host);
      EXPECT_EQ(c.port, http.port);
      EXPECT_EQ(c.path, http.path);
    }
  }
  CSimpleHttp http;
  std::wstring long_url = L"http://h/" + std::wstring(2000, L'a');
  EXPECT_EQ(1, http.ParseUrl(long_url));
  EXPECT_EQ(std::wstring(2000, L'a'), http.path.substr(1));
}

TEST(SimpleHttp, BuildRequest) {
  platform::InitLocale();
  // The length counts the body's bytes in the ANSI code page.
  std::wstring body = L"<a>\u00e9</a>";
  std::wstring length = std::to_wstring(platform::WideToAnsi(body).size());
  CSimpleHttp http;
  http.url = L"HTTP://Example.COM:8080/Dir/My File+1.xml?x=a/b";
  ASSERT_EQ(1, http.ParseUrl(http.url));
  EXPECT_EQ(
      L"POST /Dir/My%20File%2B1.xml?x=a/b HTTP/1.1\r\n"
      L"Accept: */*\r\n"
      L"Referer: HTTP://Example.COM:8080/Dir\r\n"
      L"User-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0)\r\n"
      L"Host: example.com:8080\r\n"
      L"Content-Type: text/xml\r\n"
      L"Content-Length: " + length + L"\r\n"
      L"Connection: Close\r\n"
      L"\r\n" + body,
      http.BuildRequest(L"post", body));
  CSimpleHttp get;
  get.url = L"http://host/file";
  ASSERT_EQ(1, get.ParseUrl(get.url));
  get.referer = L"http://other/";
  EXPECT_EQ(
      L"GET /file HTTP/1.1\r\nAccept: */*\r\nReferer: http://other/\r\n"
      L"User-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0)\r\n"
      L"Host: host\r\nConnection: Close\r\n\r\n",
      get.BuildRequest(L"get", L"ignored"));
}

TEST(SimpleHttp, ParseResponse) {
  struct Case {
    std::wstring url;
    std::wstring response;
    int ok;
    bool redirect;
    std::wstring host;
    uint16_t port;
    std::wstring path;
  } cases[] = {
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 200 OK\r\n\r\n", 1, false, L"h", 81, L"/a/b/c.xml"},
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 404 Not Found\r\n\r\n", 0, false, L"h", 81, L"/a/b/c.xml"},
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 500 Oops\r\n\r\n", 0, false, L"h", 81, L"/a/b/c.xml"},
      {L"http://h:81/a/b/c.xml", L"garbage\r\n\r\n", 0, false, L"h", 81, L"/a/b/c.xml"},
      {L"http://h:81/a/b/c.xml", L"", 0, false, L"h", 81, L"/a/b/c.xml"},
      // "/" keeps host and port.
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 302 Found\r\nLocation: /new/x y.xml\r\n\r\n", 1, true, L"h", 81,
       L"/new/x y.xml"},
      // Header name in any case, escaped separators.
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 301 Moved\r\nLOCATION: http%3A%2F%2FOther:82%2Fz\r\n\r\n", 1, true,
       L"other", 82, L"/z"},
      // Relative: a bare name sits beside the current file.
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 302 Found\r\nLocation: d.xml\r\n\r\n", 1, true, L"h", 81, L"/a/b/d.xml"},
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 302 Found\r\nLocation: ./d.xml\r\n\r\n", 1, true, L"h", 81,
       L"/a/b/d.xml"},
      // One "../" drops two segments of the current url.
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 302 Found\r\nLocation: ../d.xml\r\n\r\n", 1, true, L"h", 81,
       L"/a/d.xml"},
      // Climbing above the root stays at the root.
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 302 Found\r\nLocation: ../../../../d.xml\r\n\r\n", 1, true, L"h", 81,
       L"/d.xml"},
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 302 Found\r\nLocation: \\x\\y\r\n\r\n", 1, true, L"h", 81, L"/x/y"},
      // No location at all: nothing to follow.
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 302 Found\r\n\r\n", 0, true, L"h", 81, L"/a/b/c.xml"},
      {L"http://h:81/a/b/c.xml", L"HTTP/1.1 302 Found\r\nLocation: ftp://x/y\r\n\r\n", 0, true, L"", 0, L""},
  };
  LogCapture log;
  for (const Case& c : cases) {
    CSimpleHttp http;
    http.url = c.url;
    ASSERT_EQ(1, http.ParseUrl(c.url));
    bool redirect = !c.redirect;
    EXPECT_EQ(c.ok, http.ParseResponse(c.response, &redirect)) << std::string(c.response.begin(), c.response.end());
    EXPECT_EQ(c.redirect, redirect);
    if (c.ok) {
      EXPECT_EQ(c.host, http.host);
      EXPECT_EQ(c.port, http.port);
      EXPECT_EQ(c.path, http.path);
    }
    if (c.redirect && c.ok) {
      EXPECT_EQ(L"http://h:81/a/b", http.referer);
    }
  }
  EXPECT_TRUE(log.Has("[ERROR]", "http response, bad status line."));
  EXPECT_TRUE(log.Has("[ERROR]", "http response, redirect without location, code=[302]."));
}

TEST(SimpleHttp, SlashRedirectKeepsHostPortAndRefersToTheFirstFolder) {
  CSimpleHttp http;
  http.url = L"http://Host:8080/first/dir/post.xml";
  ASSERT_EQ(1, http.ParseUrl(http.url));
  bool redirect = false;
  ASSERT_EQ(1, http.ParseResponse(L"HTTP/1.1 302 Found\r\nLocation: /second/take.xml\r\n\r\n", &redirect));
  ASSERT_TRUE(redirect);
  std::wstring next = http.BuildRequest(L"post", L"x");
  EXPECT_EQ(0u, next.find(L"POST /second/take.xml HTTP/1.1\r\n"));
  EXPECT_NE(std::wstring::npos, next.find(L"\r\nReferer: http://Host:8080/first/dir\r\n"));
  EXPECT_NE(std::wstring::npos, next.find(L"\r\nHost: host:8080\r\n"));
}

// Answers that must fail cleanly, each with its log line.
TEST(SimpleHttp, BadAnswersFailWithALogLine) {
  struct Case {
    std::string answer;
    std::string level, line;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n", "[ERROR]", "http response without end of headers, size=[36]."},
      {"", "[ERROR]", "http response without end of headers, size=[0]."},
      {"\x7f\x45garbage\r\n\r\n", "[ERROR]", "http response, bad status line."},
      {std::string("HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n", 27), "[ERROR]", "http response headers hold a NUL byte."},
      {"HTTP/1.1 200 OK\r\nX: " + std::string(300000, 'a'), "[ERROR]", "http response headers exceed 204800 bytes."},
  };
  for (const Case& c : cases) {
    LogCapture log;
    ScriptedServer server(c.answer);
    CSimpleHttp http;
    EXPECT_EQ(-1, http.PostXml(L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/t", L"<r/>"));
    EXPECT_TRUE(log.Has(c.level, c.line)) << c.line << "\n" << log.Text();
    EXPECT_EQ(1, server.connections());
  }
}

TEST(SimpleHttp, LargeAnswerAndNulInBodyAreHandled) {
  LogCapture log;
  std::string body(300000, 'b');
  body[5] = '\0';
  ScriptedServer server("HTTP/1.1 200 OK\r\n\r\n" + body);
  CSimpleHttp http;
  EXPECT_EQ(0, http.PostXml(L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/t", L"<r/>"));
  EXPECT_TRUE(log.Has("[WARN]", "http response larger than 204800 bytes, the rest is ignored."));
  // The request went out as built: body and length agree.
  std::string req = server.last_request();
  EXPECT_EQ(0u, req.find("POST /t HTTP/1.1\r\n"));
  EXPECT_NE(std::string::npos, req.find("\r\nContent-Length: 4\r\n"));
  EXPECT_EQ("<r/>", req.substr(req.size() - 4));

  // Execute hands back the body bytes, NUL included, up to the buffer size.
  CSimpleHttp get;
  get.url = L"http://127.0.0.1:" + std::to_wstring(server.port()) + L"/t";
  ASSERT_EQ(1, get.ParseUrl(get.url));
  char out[16];
  int size = sizeof out;
  std::wstring response;
  ASSERT_EQ(1, get.Execute(get.BuildRequest(L"get", L""), &response, out, &size));
  EXPECT_EQ(16, size);
  EXPECT_EQ(std::string(body.data(), 16), std::string(out, 16));
}

TEST(SimpleHttp, TooLongUrlIsRefused) {
  LogCapture log;
  CSimpleHttp http;
  std::wstring url = L"http://127.0.0.1:9/" + std::wstring(2000, L'x');
  EXPECT_EQ(-1, http.PostXml(url, L"<r/>"));
  EXPECT_TRUE(log.Has("[ERROR]", "http post, url too long, length=[2019]."));
  // Escapes count after decoding: 1,023 characters still pass the check.
  std::wstring fits = L"http://127.0.0.1:1/" + std::wstring(1004, L'y');
  EXPECT_EQ(1023u, UrlDecode(fits).size());
  CSimpleHttp ok;
  SocketLimits fast;
  EXPECT_EQ(-1, ok.PostXml(fits, L""));  // refused by the closed port, not by the length
  EXPECT_FALSE(log.Has("[ERROR]", "http post, url too long, length=[1023]."));
}

class SimpleHttpCdn : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cdn.Start({"127.0.0.2"}));
    base = L"http://127.0.0.2:" + std::to_wstring(cdn.port());
  }
  void TearDown() override { EXPECT_EQ(0, cdn.Stop()); }
  qiv::testing::CdnServer cdn;
  std::wstring base;
};

TEST_F(SimpleHttpCdn, PostFollowsRedirectsToTheFinalAnswer) {
  qiv::testing::CdnRule slash, relative;
  slash.redirect = "/a/b/second.xml";
  relative.redirect = "../third.xml";
  ASSERT_TRUE(cdn.SetRule("*", "/first.xml", slash));
  ASSERT_TRUE(cdn.SetRule("*", "/a/b/second.xml", relative));
  CSimpleHttp http;
  EXPECT_EQ(0, http.PostXml(base + L"/first.xml", L"<track/>"));
  auto log = cdn.Requests();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ("/first.xml", log[0].path);
  EXPECT_EQ("/a/b/second.xml", log[1].path);
  EXPECT_EQ("/a/third.xml", log[2].path);
  for (const auto& r : log) EXPECT_EQ("POST", r.method);
}

TEST_F(SimpleHttpCdn, NotFoundEndsAfterOneRequest) {
  qiv::testing::CdnRule missing;
  missing.status = 404;
  ASSERT_TRUE(cdn.SetRule("*", "*", missing));
  CSimpleHttp http;
  EXPECT_EQ(-1, http.PostXml(base + L"/track.xml", L"<track/>"));
  EXPECT_EQ(1u, cdn.Requests().size());
}

TEST_F(SimpleHttpCdn, EndlessRedirectsAreCutOff) {
  LogCapture log;
  qiv::testing::CdnRule loop;
  loop.redirect = "/loop.xml";
  ASSERT_TRUE(cdn.SetRule("*", "/loop.xml", loop));
  CSimpleHttp http;
  EXPECT_EQ(-1, http.PostXml(base + L"/loop.xml", L"<track/>"));
  EXPECT_EQ(static_cast<size_t>(CSimpleHttp::kMaxRedirects + 1), cdn.Requests().size());
  EXPECT_TRUE(log.Has("[ERROR]", "http post, more than 10 redirects."));
}

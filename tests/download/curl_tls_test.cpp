// HTTPS peers are verified: a server whose certificate does not chain to a
// trusted CA, or names another host, is refused; one signed by the trusted
// test CA (given through SSL_CERT_FILE) is accepted. The CA and the server
// certificates are made with the openssl command at run time, and the
// servers are "openssl s_server -WWW" on loopback.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "download/curl_request.h"
#include "platform/net/net.h"
#include "tests/download/test_support.h"

extern char** environ;
namespace net = platform::net;
using qiv::test::LogCapture;

namespace {

std::string g_dir;

int Shell(const std::string& cmd) { return std::system(("cd '" + g_dir + "' && " + cmd + " >/dev/null 2>&1").c_str()); }

// Makes a CA and a server certificate signed by it for `names` (a
// subjectAltName list).
void MakeCaAndServer(const std::string& ca, const std::string& server, const std::string& names) {
  ASSERT_EQ(0, Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + ca + " -keyout " + ca +
                   ".key -out " + ca + ".pem"));
  ASSERT_EQ(0, Shell("openssl req -newkey rsa:2048 -nodes -subj /CN=" + server + " -keyout " + server + ".key -out " +
                   server + ".csr"));
  std::ofstream(g_dir + "/" + server + ".ext") << "subjectAltName=" << names << "\n";
  ASSERT_EQ(0, Shell("openssl x509 -req -in " + server + ".csr -CA " + ca + ".pem -CAkey " + ca +
                   ".key -CAcreateserial -days 2 -extfile " + server + ".ext -out " + server + ".pem"));
}

struct TlsServer {
  pid_t pid = -1;
  uint16_t port = 0;
  explicit TlsServer(const std::string& cert) {
    int l = net::Listen(net::TextToIp("127.0.0.1"), 0, 1);
    port = net::LocalPort(l);
    net::CloseSocket(l);
    std::string cmd = "cd '" + g_dir + "' && exec openssl s_server -quiet -WWW -accept 127.0.0.1:" +
                      std::to_string(port) + " -cert " + cert + ".pem -key " + cert + ".key";
    const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
    posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ);
    for (int i = 0; i < 100; ++i) {  // until it listens
      int s = net::CreateTcpSocket();
      bool up = net::StartConnect(s, net::TextToIp("127.0.0.1"), port) == 0;
      net::CloseSocket(s);
      if (up) break;
      ::usleep(50000);
    }
  }
  ~TlsServer() {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
  std::wstring Url(const std::string& host) const {
    std::string u = "https://" + host + ":" + std::to_string(port) + "/hello.txt";
    return std::wstring(u.begin(), u.end());
  }
};

class CurlTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/qiv-tls-XXXXXX";
    g_dir = ::mkdtemp(pattern);
    MakeCaAndServer("testca", "good", "IP:127.0.0.1,DNS:localhost");
    MakeCaAndServer("rogueca", "rogue", "IP:127.0.0.1,DNS:localhost");
    MakeCaAndServer("testca2", "elsewhere", "DNS:other.test");
    // "elsewhere" must chain to the trusted CA: sign it with testca instead.
    ASSERT_EQ(0, Shell("openssl x509 -req -in elsewhere.csr -CA testca.pem -CAkey testca.key -CAcreateserial -days 2 "
                     "-extfile elsewhere.ext -out elsewhere.pem"));
    std::ofstream(g_dir + "/hello.txt") << "hello over tls";
  }
  static void TearDownTestSuite() { std::system(("rm -rf '" + g_dir + "'").c_str()); }
  void SetUp() override {
    limits.connect_timeout_ms = 5000;  // TLS handshakes under sanitizers take a while
    limits.transfer_timeout_ms = 5000;
    ::setenv("SSL_CERT_FILE", (g_dir + "/testca.pem").c_str(), 1);
  }
  void TearDown() override { ::unsetenv("SSL_CERT_FILE"); }
  CurlLimits limits;
};

}  // namespace

TEST_F(CurlTls, ServerSignedByTheTrustedCaIsAccepted) {
  TlsServer server("good");
  EXPECT_EQ("hello over tls", CurlRequest(server.Url("127.0.0.1"), false, {}, false, false, limits));
  EXPECT_EQ("hello over tls", CurlRequest(server.Url("localhost"), false, {}, false, false, limits));
  // The trust store may also be a folder of hashed certificates.
  ::unsetenv("SSL_CERT_FILE");
  ASSERT_EQ(0, Shell("mkdir -p cadir && cp testca.pem cadir/ && openssl rehash cadir"));
  ::setenv("SSL_CERT_DIR", (g_dir + "/cadir").c_str(), 1);
  EXPECT_EQ("hello over tls", CurlRequest(server.Url("127.0.0.1"), false, {}, false, false, limits));
  ::unsetenv("SSL_CERT_DIR");
}

TEST_F(CurlTls, UntrustedCertificateIsRefused) {
  LogCapture log;
  TlsServer server("rogue");
  EXPECT_EQ("", CurlRequest(server.Url("127.0.0.1"), false, {}, false, false, limits));
  EXPECT_EQ(3, log.Count("[ERROR]", "curl request, curl easy perform failed, code=[60]."));
  // Without any trust setting the system store does not know the test CAs either.
  ::unsetenv("SSL_CERT_FILE");
  EXPECT_EQ("", CurlRequest(server.Url("127.0.0.1"), false, {}, false, false, limits));
}

TEST_F(CurlTls, CertificateForAnotherHostIsRefused) {
  LogCapture log;
  TlsServer server("elsewhere");
  EXPECT_EQ("", CurlRequest(server.Url("127.0.0.1"), false, {}, false, false, limits));
  EXPECT_EQ(3, log.Count("[ERROR]", "curl request, curl easy perform failed, code=[60]."));
}

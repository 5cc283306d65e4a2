#include "testing/cdn/cdn_fixture.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/clock/clock.h"
#include "platform/net/net.h"
#include "platform/paths/paths.h"

extern char** environ;

namespace qiv::testing {

namespace net = platform::net;

namespace {
std::string MakeScratchFolder(const char* prefix) {
  std::string pattern = platform::WithTrailingSlash(platform::TempFolder()) + prefix + "XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) return std::string();
  return buf.data();
}

std::string Encode(const std::string& s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_' || c == '*') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

int WaitChild(pid_t pid, int timeout_ms) {
  uint64_t end = platform::TickCount64() + static_cast<uint64_t>(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + WTERMSIG(status);
    }
    if (r < 0) return -1;
    if (platform::TickCount64() >= end) return -2;
    ::usleep(10000);
  }
}
}  // namespace

std::string RawHttpGet(const std::string& address, uint16_t port, const std::string& target) {
  int s = net::CreateTcpSocket();
  if (s < 0) return std::string();
  std::string answer;
  if (net::StartConnect(s, net::TextToIp(address), port) == 0) {
    std::string req = "GET " + target + " HTTP/1.1\r\nHost: " + address + "\r\nConnection: close\r\n\r\n";
    if (net::SendBytes(s, req.data(), req.size()) == static_cast<ssize_t>(req.size())) {
      char buf[65536];
      while (net::WaitReadable(s, 10000) > 0) {
        ssize_t n = net::ReceiveBytes(s, buf, sizeof buf);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
      }
    }
  }
  net::CloseSocket(s);
  return answer;
}

CdnServer::~CdnServer() {
  if (pid_ > 0) Stop();
}

bool CdnServer::Start(const std::vector<std::string>& addresses, uint16_t port) {
  if (pid_ > 0 || addresses.empty()) return false;
  root_ = MakeScratchFolder("qiv-cdn-");
  if (root_.empty()) return false;
  control_address_ = addresses.front();
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  std::vector<std::string> args = {QIV_TEST_CDN_PATH, "--root", root_};
  for (const std::string& a : addresses) {
    args.push_back("--addr");
    args.push_back(a);
  }
  if (port) {
    args.push_back("--port");
    args.push_back(std::to_string(port));
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  if (rc != 0) {
    pid_ = -1;
    ::close(out[0]);
    return false;
  }
  std::string line;
  uint64_t end = platform::TickCount64() + 10000;
  while (line.find('\n') == std::string::npos && platform::TickCount64() < end) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[64];
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  unsigned value = 0;
  if (std::sscanf(line.c_str(), "READY %u", &value) != 1 || value == 0) {
    Stop();
    return false;
  }
  port_ = static_cast<uint16_t>(value);
  return true;
}

int CdnServer::Stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = WaitChild(pid_, 10000);
  if (status == -2) {
    ::kill(pid_, SIGKILL);
    WaitChild(pid_, 10000);
    status = -2;
  }
  pid_ = -1;
  if (!root_.empty()) {
    std::string cmd = "rm -rf '" + root_ + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", root_.c_str());
    root_.clear();
  }
  return status;
}

std::string CdnServer::Url(const std::string& address, const std::string& file) const {
  return "http://" + address + ":" + std::to_string(port_) + file;
}

uint8_t CdnServer::PatternByte(uint32_t seed, int64_t offset) {
  uint64_t x = static_cast<uint64_t>(offset) * 0x9E3779B97F4A7C15ull + seed * 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 32;
  return static_cast<uint8_t>(x);
}

bool CdnServer::AddFile(const std::string& file, int64_t size, uint32_t seed) {
  std::string path = root_ + file;
  platform::MakeFolders(path.substr(0, path.rfind('/') + 1));
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<uint8_t> buf(1 << 20);
  bool ok = true;
  for (int64_t done = 0; done < size && ok;) {
    size_t n = static_cast<size_t>(std::min<int64_t>(size - done, static_cast<int64_t>(buf.size())));
    for (size_t i = 0; i < n; ++i) buf[i] = PatternByte(seed, done + static_cast<int64_t>(i));
    ok = ::write(fd, buf.data(), n) == static_cast<ssize_t>(n);
    done += static_cast<int64_t>(n);
  }
  return ::close(fd) == 0 && ok;
}

bool CdnServer::WriteFile(const std::string& file, const std::string& content) {
  std::string path = root_ + file;
  platform::MakeFolders(path.substr(0, path.rfind('/') + 1));
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  return ::close(fd) == 0 && ok;
}

std::string CdnServer::Control(const std::string& command) {
  std::string answer = RawHttpGet(control_address_, port_, std::string("/__cdn/") + command);
  size_t blank = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.1 200", 0) != 0 || blank == std::string::npos) return std::string();
  return answer.substr(blank + 4);
}

bool CdnServer::SetRule(const std::string& address, const std::string& file, const CdnRule& r) {
  std::string q = "rule?addr=" + Encode(address) + "&file=" + Encode(file);
  if (r.no_ranges) q += "&ranges=0";
  if (r.no_length) q += "&length=0";
  if (!r.header_case.empty()) q += "&case=" + r.header_case;
  if (!r.redirect.empty()) q += "&redirect=" + Encode(r.redirect) + "&redirect_code=" + std::to_string(r.redirect_code);
  if (r.rate > 0) q += "&rate=" + std::to_string(r.rate);
  if (r.trickle) q += "&trickle=1";
  if (r.reset_after >= 0) q += "&reset_after=" + std::to_string(r.reset_after);
  if (r.report_size >= 0) q += "&size=" + std::to_string(r.report_size);
  if (r.status) q += "&status=" + std::to_string(r.status);
  if (r.hang) q += "&hang=1";
  return Control(q) == "OK\n";
}

bool CdnServer::Clear() { return Control("clear") == "OK\n"; }

std::vector<CdnRequest> CdnServer::Requests() {
  std::vector<CdnRequest> out;
  std::istringstream in(Control("log"));
  CdnRequest r;
  while (in >> r.id >> r.addr >> r.method >> r.path >> r.status >> r.range >> r.body_bytes) out.push_back(r);
  return out;
}

bool InMountNamespace() {
  const char* v = std::getenv("QIV_IN_MOUNT_NAMESPACE");
  return v && std::strcmp(v, "1") == 0;
}

std::string PrivateHostsSetup(const std::string& hosts_text) {
  std::string folder = MakeScratchFolder("qiv-hosts-");
  std::string file = folder + "/hosts";
  FILE* f = std::fopen(file.c_str(), "w");
  if (!f) return "false";
  std::fputs(hosts_text.c_str(), f);
  std::fclose(f);
  return "mount --bind '" + file + "' /etc/hosts";
}

int RerunCurrentTest(const std::string& setup) {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!info) return -1;
  std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  std::string self = platform::OwnExecutablePath();
  std::vector<std::string> args = {"unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
                                   setup + " && exec \"$@\"", "sh", self, filter};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_store;
  for (char** e = environ; *e; ++e) env_store.push_back(*e);
  env_store.push_back("QIV_IN_MOUNT_NAMESPACE=1");
  std::vector<char*> envp;
  for (std::string& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, "unshare", nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  int status = WaitChild(pid, 600000);
  if (status == -2) {
    ::kill(pid, SIGKILL);
    WaitChild(pid, 10000);
  }
  return status;
}

}  // namespace qiv::testing

#include "tests/download/test_support.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <vector>

#include "app/simple_log.h"
#include "platform/net/net.h"
#include "platform/sync/sync.h"

namespace qiv::test {

namespace net = platform::net;

namespace {
std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
}  // namespace

LogCapture::LogCapture() {
  static std::once_flag once;
  std::call_once(once, [] {
    char pattern[] = "/tmp/qiv-download-test-XXXXXX";
    if (::mkdtemp(pattern)) ::setenv("TMPDIR", pattern, 1);
    StartProgramLog(L"qvQIV.log");
  });
  path_ = ProgramLog() ? ProgramLog()->path() : std::string();
  start_ = ReadAll(path_).size();
}

std::string LogCapture::Text() const {
  std::string all = ReadAll(path_);
  return all.size() >= start_ ? all.substr(start_) : all;
}

int LogCapture::Count(const std::string& level, const std::string& text, int tid) const {
  std::string needle = level + " " + std::to_string(tid ? tid : platform::CurrentThreadId()) + " - " + text + "\r\n";
  std::string all = Text();
  int n = 0;
  for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++n;
  return n;
}

bool LogCapture::Has(const std::string& level, const std::string& text, int tid) const {
  return Count(level, text, tid) > 0;
}

struct ScriptedServer::Shared {
  int listener = -1;
  std::atomic<bool> stop{false};
  std::atomic<int> connections{0};
  std::mutex lock;
  std::string last_request;
};

ScriptedServer::ScriptedServer(std::string answer, bool silent)
    : shared_(std::make_shared<Shared>()), connections_(shared_->connections) {
  shared_->listener = net::Listen(net::TextToIp("127.0.0.1"), 0, 16);
  port_ = net::LocalPort(shared_->listener);
  auto shared = shared_;
  thread_ = std::thread([shared, answer, silent] {
    std::vector<int> held;
    while (!shared->stop.load()) {
      if (net::WaitReadable(shared->listener, 50) <= 0) continue;
      int c = net::Accept(shared->listener);
      if (c < 0) continue;
      shared->connections.fetch_add(1);
      if (silent) {
        held.push_back(c);
        continue;
      }
      std::string req;
      char buf[4096];
      while (req.find("\r\n\r\n") == std::string::npos && net::WaitReadable(c, 2000) > 0) {
        ssize_t n = net::ReceiveBytes(c, buf, sizeof buf);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
      }
      size_t at = req.find("Content-Length: ");
      size_t blank = req.find("\r\n\r\n");
      if (at != std::string::npos && blank != std::string::npos) {
        size_t want = std::strtoul(req.c_str() + at + 16, nullptr, 10);
        while (req.size() - blank - 4 < want && net::WaitReadable(c, 2000) > 0) {
          ssize_t n = net::ReceiveBytes(c, buf, sizeof buf);
          if (n <= 0) break;
          req.append(buf, static_cast<size_t>(n));
        }
      }
      {
        std::lock_guard<std::mutex> g(shared->lock);
        shared->last_request = req;
      }
      size_t sent = 0;
      while (sent < answer.size()) {
        ssize_t n = net::SendBytes(c, answer.data() + sent, answer.size() - sent);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      net::ShutdownSocket(c);
      net::CloseSocket(c);
    }
    for (int c : held) net::CloseSocket(c);
  });
}

ScriptedServer::~ScriptedServer() {
  shared_->stop.store(true);
  thread_.join();
  net::CloseSocket(shared_->listener);
}

std::string ScriptedServer::last_request() const {
  std::lock_guard<std::mutex> g(shared_->lock);
  return shared_->last_request;
}

}  // namespace qiv::test

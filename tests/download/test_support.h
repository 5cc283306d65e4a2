// Helpers shared by the download tests: reading the program log, and a
// one-shot loopback server that answers with scripted bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace qiv::test {

// Starts the program log (once per process) in a scratch temporary folder
// and reads what was logged after the capture was made.
class LogCapture {
 public:
  LogCapture();
  std::string Text() const;
  // True when a line holds "<level> <tid> - <text>" exactly (tid: the
  // calling thread unless given).
  bool Has(const std::string& level, const std::string& text, int tid = 0) const;
  int Count(const std::string& level, const std::string& text, int tid = 0) const;

 private:
  std::string path_;
  size_t start_ = 0;
};

// Accepts connections on 127.0.0.1 (one at a time); for each reads the
// request head (and a body announced by Content-Length), then sends
// `answer` and closes. With `silent` it accepts and never answers.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::string answer, bool silent = false);
  ~ScriptedServer();
  uint16_t port() const { return port_; }
  int connections() const { return connections_.load(); }
  std::string last_request() const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  uint16_t port_ = 0;
  std::atomic<int>& connections_;
};

}  // namespace qiv::test

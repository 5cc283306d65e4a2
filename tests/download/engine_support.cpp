#include "tests/download/engine_support.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "app/simple_log.h"
#include "platform/sync/sync.h"
#include "platform/text/text.h"

namespace qiv::test {

void Recorder::Add(const std::string& what) {
  std::lock_guard<std::mutex> g(lock_);
  sequence_.push_back(what);
}

void Recorder::OnStarted(int) {
  std::lock_guard<std::mutex> g(lock_);
  main_tid_ = platform::CurrentThreadId();
  sequence_.push_back("started");
}
void Recorder::OnFileName(int, const wchar_t* name) {
  std::lock_guard<std::mutex> g(lock_);
  if (platform::CurrentThreadId() != main_tid_) bad_thread_ = true;
  name_ = name;
  sequence_.push_back("name");
}
void Recorder::OnFileSize(int, int64_t size) {
  std::lock_guard<std::mutex> g(lock_);
  if (platform::CurrentThreadId() != main_tid_) bad_thread_ = true;
  size_ = size;
  sequence_.push_back("size");
}
void Recorder::OnProgress(int, int64_t downloaded, int64_t size, int32_t) {
  std::lock_guard<std::mutex> g(lock_);
  if (platform::CurrentThreadId() == main_tid_) bad_thread_ = true;
  if (downloaded < 0 || downloaded > size) bad_thread_ = true;
  ++progress_;
}
void Recorder::OnTaskFinished(int) {
  std::lock_guard<std::mutex> g(lock_);
  if (platform::CurrentThreadId() != main_tid_) bad_thread_ = true;
  sequence_.push_back("finished");
  result_ = 0;
  done_ = true;
  cv_.notify_all();
}
void Recorder::OnFailed(int, int code) {
  std::lock_guard<std::mutex> g(lock_);
  if (platform::CurrentThreadId() != main_tid_) bad_thread_ = true;
  sequence_.push_back("failed");
  result_ = code;
  done_ = true;
  cv_.notify_all();
}
void Recorder::OnSegmentEvent(int, int segment, int kind, int64_t value) {
  std::lock_guard<std::mutex> g(lock_);
  if (kind == 0) lengths_[segment].push_back(value);
}

int Recorder::WaitResult(int timeout_ms) {
  std::unique_lock<std::mutex> g(lock_);
  if (!cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return done_; })) return -1;
  return result_;
}
std::vector<std::string> Recorder::Sequence() {
  std::lock_guard<std::mutex> g(lock_);
  return sequence_;
}
int Recorder::progress_count() {
  std::lock_guard<std::mutex> g(lock_);
  return progress_;
}
std::wstring Recorder::name() {
  std::lock_guard<std::mutex> g(lock_);
  return name_;
}
int64_t Recorder::size() {
  std::lock_guard<std::mutex> g(lock_);
  return size_;
}
std::map<int, std::vector<int64_t>> Recorder::lengths() {
  std::lock_guard<std::mutex> g(lock_);
  return lengths_;
}
bool Recorder::bad_thread() {
  std::lock_guard<std::mutex> g(lock_);
  return bad_thread_;
}

bool SameFile(const std::string& a, const std::string& b) {
  int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC);
  int fb = ::open(b.c_str(), O_RDONLY | O_CLOEXEC);
  bool same = fa >= 0 && fb >= 0;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (same) {
    ssize_t na = ::read(fa, ba.data(), ba.size());
    ssize_t nb = ::read(fb, bb.data(), bb.size());
    if (na != nb || na < 0) same = false;
    else if (na == 0) break;
    else same = std::equal(ba.begin(), ba.begin() + na, bb.begin());
  }
  if (fa >= 0) ::close(fa);
  if (fb >= 0) ::close(fb);
  return same;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

int64_t FileSizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string ProgramLogText() {
  if (!ProgramLog()) return std::string();
  std::ifstream in(ProgramLog()->path(), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int CountLine(const std::string& log, const std::string& text) {
  std::string needle = " - " + text + "\r\n";
  int n = 0;
  for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
  return n;
}

std::wstring W(const std::string& s) { return platform::Utf8ToWideString(s); }

}  // namespace qiv::test

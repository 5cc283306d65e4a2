#include "app/simple_log.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/text/text.h"

namespace {

std::atomic<simpleLog*> g_program_log{nullptr};

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

std::mutex& simpleLog::LogLock() {
  // Created during static initialisation of the first user and never
  // destroyed, so threads still logging during exit find it intact.
  static std::mutex* lock = new std::mutex;
  return *lock;
}

simpleLog::simpleLog(std::string file_name)
    : file_name_(std::move(file_name)), stop_(std::make_shared<platform::Event>(true, false)) {
  LogLock();
}

simpleLog::~simpleLog() {
  stop_->Set();
  std::lock_guard<std::mutex> guard(thread_list_lock_);
  for (auto& t : threads_) {
    if (!t->Join(1000)) t->Detach();
  }
}

void simpleLog::StartWithoutBackupThread() {
  if (file_name_.empty()) std::fputs("[simpleLog::Log] log filename is empty\n", stdout);
  path_ = file_name_;
}

void simpleLog::Start() {
  StartWithoutBackupThread();
  std::lock_guard<std::mutex> guard(thread_list_lock_);
  auto t = std::make_unique<platform::Thread>();
  if (t->Start([this] { BackupThreadMain(); })) threads_.push_back(std::move(t));
}

void simpleLog::Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(format, args);
  va_end(args);
}

void simpleLog::LogV(const char* format, va_list args) {
  std::tm tm = platform::LocalTime(platform::Now());
  char stamp[64];
  int stamp_len = std::snprintf(stamp, sizeof stamp, "[%4d-%02d-%02d %d:%02d:%02d] ", tm.tm_year + 1900,
                                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  char small[1024];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  std::string message;
  if (n < 0) {
    n = 0;
  } else if (static_cast<size_t>(n) < sizeof small) {
    message.assign(small, static_cast<size_t>(n));
  } else {
    message.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(message.data(), message.size(), format, args);
    message.resize(static_cast<size_t>(n));
  }
  // The file is a text file in the Windows sense: every line feed is written
  // as CR LF, the line's own end included.
  std::string line(stamp, static_cast<size_t>(stamp_len > 0 ? stamp_len : 0));
  line.reserve(line.size() + message.size() + 2);
  for (char c : message) {
    if (c == '\n') line.push_back('\r');
    line.push_back(c);
  }
  line.append("\r\n");

  std::lock_guard<std::mutex> guard(LogLock());
  int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;  // the line is lost; logging never fails its caller
  WriteAll(fd, line.data(), line.size());
  ::close(fd);
}

std::string simpleLog::BackupName() const {
  std::tm tm = platform::LocalTime(platform::Now());
  char date[32];
  std::snprintf(date, sizeof date, ".%4d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  std::string base = path_ + date;
  if (!platform::FileExists(base)) return base;
  for (int i = 1; i < INT_MAX; ++i) {
    std::string name = base + "." + std::to_string(i);
    if (!platform::FileExists(name)) return name;
  }
  return base + "." + std::to_string(INT_MAX);
}

void simpleLog::RecreateEmpty() {
  int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::printf("[simpleLog::Log] Cannot open the output file: %s", path_.c_str());
    return;
  }
  ::close(fd);
}

void simpleLog::Rotate() {
  std::lock_guard<std::mutex> guard(LogLock());
  std::rename(path_.c_str(), BackupName().c_str());  // a missing file is fine
  RecreateEmpty();
}

uint32_t simpleLog::BackupPass() {
  constexpr uint32_t kPass = 300000;
  constexpr uint32_t kAfterRotationHour = 7200000;
  if (!backup_) return kPass;
  std::tm tm = platform::LocalTime(platform::Now());
  if (tm.tm_hour != 23) return kPass;
  bool non_empty = false;
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char c;
    non_empty = ::read(fd, &c, 1) == 1;
    ::close(fd);
  }
  if (non_empty) Rotate();
  return kAfterRotationHour + kPass;
}

void simpleLog::BackupThreadMain() {
  std::shared_ptr<platform::Event> stop = stop_;
  for (;;) {
    uint32_t sleep_ms = BackupPass();
    if (stop->Wait(sleep_ms)) return;
  }
}

namespace {
std::once_flag g_start_once;
simpleLog* g_log_object = nullptr;

void RotateProgramLogAtExit() {
  simpleLog* log = g_program_log.exchange(nullptr);
  if (!log) return;
  // Unlike a bare rename, the rotation holds the log lock, so a thread that
  // is still writing finishes its line in the old file or starts the new one.
  log->Rotate();
}
}  // namespace

void StartProgramLog(const std::wstring& file_name) {
  std::call_once(g_start_once, [&] {
    std::string folder = platform::WithTrailingSlash(platform::TempFolder());
    std::string path = folder + platform::WideToAnsi(file_name);
    g_log_object = new simpleLog(path);  // lives to the end of the process
    g_log_object->Start();
    g_program_log.store(g_log_object);
    std::atexit(RotateProgramLogAtExit);
  });
}

simpleLog* ProgramLog() { return g_program_log.load(); }

void LogLine(const char* format, ...) {
  simpleLog* log = g_program_log.load();
  if (!log) return;
  va_list args;
  va_start(args, format);
  log->LogV(format, args);
  va_end(args);
}

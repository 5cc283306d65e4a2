// The program's log: one plain-text file per run mode in the temporary folder.
//
// Every line is "[YYYY-MM-DD H:MM:SS] " (hour without a leading zero), then
// the caller's text, then CR LF. Each line costs one open, one write and one
// close of the file under one process-wide lock, so lines from any number of
// threads never interleave and a rotation never loses one.
//
// Rotation renames the file to "<path>.<YYYY-MM-DD>" (or the first free name
// with ".1", ".2", ... appended) and re-creates it empty. It happens at
// process exit, and once a day in the 23rd hour from a backup thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sync/sync.h"

class simpleLog {
 public:
  explicit simpleLog(std::string file_name);
  ~simpleLog();
  simpleLog(const simpleLog&) = delete;
  simpleLog& operator=(const simpleLog&) = delete;

  // Copies the file name into the path and starts the backup thread.
  void Start();
  // Like Start() without the backup thread (tests drive BackupPass directly).
  void StartWithoutBackupThread();

  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void LogV(const char* format, va_list args);

  // One pass of the backup thread: in the 23rd hour (by platform::Now), a
  // non-empty log is rotated under the lock. Returns the milliseconds the
  // thread then sleeps (7,200,000 + 300,000 in that hour, else 300,000).
  uint32_t BackupPass();

  // Renames the file to its backup name and re-creates it empty.
  void Rotate();

  // The first free backup name for the current local date.
  std::string BackupName() const;

  const std::string& path() const { return path_; }

  // The one lock that serialises every log write and rotation in the process.
  static std::mutex& LogLock();

 private:
  void RecreateEmpty();
  void BackupThreadMain();

  std::string file_name_;
  std::string path_;
  bool backup_ = true;
  std::mutex thread_list_lock_;
  std::vector<std::unique_ptr<platform::Thread>> threads_;
  std::shared_ptr<platform::Event> stop_;
};

// Starts the program's own log on `file_name` (e.g. L"qvQIV.log") in the
// temporary folder and publishes it to LogLine. Started once per process;
// the log is rotated at process exit.
void StartProgramLog(const std::wstring& file_name);
// The program's log, or null before StartProgramLog.
simpleLog* ProgramLog();

// Writes one line to the program's log; nothing before it is started.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// QLOG("[INFO] %d - start, fork=[%d].", fork): the calling thread's
// identifier is passed as the first argument, as every line's "%d" expects.
#define QLOG(format, ...) ::LogLine(format, ::platform::CurrentThreadId() __VA_OPT__(, ) __VA_ARGS__)

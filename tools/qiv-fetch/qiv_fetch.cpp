// qiv-fetch: downloads one file through the download engine, the way the
// setup's orchestrator drives it (IDownloaderManager, one task).
//
//   qiv-fetch URL [--dir DIR] [--name NAME] [--md5 LIST] [--version V]
//             [--force] [--task-id N] [--connections N] [--sync]
//
// --sync flushes the data to the disk before every running resume record
// (safe against power loss; slower on fast links).
//
// On a terminal a progress line (bar, percent, speed, connections) is
// redrawn in place; otherwise one plain line a second. Ctrl-C (or SIGTERM)
// stops the task and keeps the partial file with its resume record, so the
// same command continues later. The exit status is the engine's result code
// (0 success or already present, 3 ... 15 failures, 13 stopped), 255 when
// the task could not start and 2 for a bad command line. The engine logs to
// "qvFetch.log" in the temporary folder.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

#include "app/simple_log.h"
#include "download/downloader_manager.h"
#include "platform/paths/paths.h"
#include "platform/text/text.h"

namespace {

std::atomic<int> g_signal{0};
void OnSignal(int sig) { g_signal = sig; }

class Owner : public ns_VDL::IDownloaderManagerCallBack {
 public:
  void OnFileName(int, const wchar_t* name) override {
    std::lock_guard<std::mutex> g(lock_);
    name_ = name;
  }
  void OnFileSize(int, int64_t size) override {
    std::lock_guard<std::mutex> g(lock_);
    size_ = size;
  }
  void OnProgress(int, int64_t downloaded, int64_t size, int32_t speed) override {
    std::lock_guard<std::mutex> g(lock_);
    downloaded_ = downloaded;
    size_ = size;
    speed_ = speed;
  }
  void OnTaskFinished(int) override { Finish(0); }
  void OnFailed(int, int code) override { Finish(code); }
  void OnSegmentEvent(int, int, int, int64_t) override {}
  void OnStarted(int) override {}

  // Result code, or -1 while running.
  int WaitResult(int timeout_ms) {
    std::unique_lock<std::mutex> g(lock_);
    cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return result_ >= 0; });
    return result_;
  }
  void Snapshot(int64_t* downloaded, int64_t* size, int32_t* speed) {
    std::lock_guard<std::mutex> g(lock_);
    *downloaded = downloaded_;
    *size = size_;
    *speed = speed_;
  }

 private:
  void Finish(int code) {
    std::lock_guard<std::mutex> g(lock_);
    result_ = code;
    cv_.notify_all();
  }
  std::mutex lock_;
  std::condition_variable cv_;
  std::wstring name_;
  int64_t size_ = -1, downloaded_ = 0;
  int32_t speed_ = 0;
  int result_ = -1;
};

void Usage() {
  std::fprintf(stderr,
               "usage: qiv-fetch URL [--dir DIR] [--name NAME] [--md5 LIST] [--version V] [--force]\n"
               "                 [--task-id N] [--connections N] [--sync]\n");
}

std::string Rate(double bytes_per_second) {
  char text[32];
  if (bytes_per_second >= 1048576) {
    std::snprintf(text, sizeof text, "%.1f MiB/s", bytes_per_second / 1048576);
  } else {
    std::snprintf(text, sizeof text, "%.1f KiB/s", bytes_per_second / 1024);
  }
  return text;
}

void Show(bool tty, int64_t downloaded, int64_t size, int32_t speed, int connections) {
  double percent = size > 0 ? 100.0 * static_cast<double>(downloaded) / static_cast<double>(size) : 0;
  if (tty) {
    const int width = 30;
    int filled = static_cast<int>(percent * width / 100);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '.');
    std::printf("\r[%s] %5.1f%%  %-12s %d conn ", bar.c_str(), percent, Rate(speed).c_str(), connections);
  } else {
    std::printf("progress %.1f%% %lld/%lld bytes %s %d connections\n", percent, static_cast<long long>(downloaded),
                static_cast<long long>(size), Rate(speed).c_str(), connections);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  platform::InitLocale();
  std::string url, dir, name, md5, version;
  bool force = false;
  int task_id = 1;
  int connections = CDownloadManager::kDefaultSegments;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string number;
    if (a == "--dir") {
      if (!value(&dir)) return Usage(), 2;
    } else if (a == "--name") {
      if (!value(&name)) return Usage(), 2;
    } else if (a == "--md5") {
      if (!value(&md5)) return Usage(), 2;
    } else if (a == "--version") {
      if (!value(&version)) return Usage(), 2;
    } else if (a == "--force") {
      force = true;
    } else if (a == "--sync") {
      CDownloadManager::SetSyncRecord(true);
    } else if (a == "--task-id" || a == "--connections") {
      if (!value(&number)) return Usage(), 2;
      char* end = nullptr;
      long n = std::strtol(number.c_str(), &end, 10);
      if (!end || *end || n < 1 || n > 0x7FFFFFFF) return Usage(), 2;
      if (a == "--task-id") task_id = static_cast<int>(n);
      else if (n > CDownloadManager::kMaxSegments) return Usage(), 2;
      else connections = static_cast<int>(n);
    } else if (a == "-h" || a == "--help") {
      Usage();
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      Usage();
      return 2;
    } else if (url.empty()) {
      url = a;
    } else {
      Usage();
      return 2;
    }
  }
  if (url.empty()) return Usage(), 2;
  StartProgramLog(L"qvFetch.log");
  CDownloadManager::SetDefaultSegments(connections);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  bool tty = ::isatty(STDOUT_FILENO) == 1;
  Owner owner;
  int code;
  {
    ns_VDL::DownloaderManager engine;
    engine.SetCallBack(&owner);
    std::wstring wurl = platform::Utf8ToWideString(url);
    std::wstring wdir = platform::Utf8ToWideString(dir.empty() ? "." : dir);
    if (dir.empty()) {
      char cwd[4096];
      if (::getcwd(cwd, sizeof cwd)) wdir = platform::Utf8ToWideString(cwd);
    }
    std::wstring wname = platform::Utf8ToWideString(name);
    std::wstring wmd5 = platform::Utf8ToWideString(md5);
    std::wstring wversion = platform::Utf8ToWideString(version);
    int added = engine.AddTask(wurl.c_str(), wdir.c_str(), name.empty() ? nullptr : wname.c_str(), task_id,
                               version.empty() ? nullptr : wversion.c_str(), md5.empty() ? nullptr : wmd5.c_str(),
                               force ? 1 : 0);
    if (added < 0) {
      std::fprintf(stderr, "qiv-fetch: the download could not start (see qvFetch.log)\n");
      return 255;
    }
    auto manager = engine.TaskManagerOf(task_id);
    auto last_line = std::chrono::steady_clock::now() - std::chrono::seconds(2);
    for (;;) {
      code = owner.WaitResult(tty ? 200 : 250);
      if (code >= 0) break;
      if (g_signal.load()) {
        if (tty) std::printf("\n");
        std::fprintf(stderr, "qiv-fetch: stopping, the partial file keeps what has arrived\n");
        engine.StopTask(task_id);
        code = 13;
        break;
      }
      auto now = std::chrono::steady_clock::now();
      if (tty || now - last_line >= std::chrono::seconds(1)) {
        int64_t downloaded, size;
        int32_t speed;
        owner.Snapshot(&downloaded, &size, &speed);
        if (size > 0) Show(tty, downloaded, size, speed, manager ? manager->RunningWorkers() : 0);
        last_line = now;
      }
    }
    std::string target = manager ? platform::WideToUtf8String(manager->GetTargetPath()) : std::string();
    if (code == 0) {
      int64_t downloaded, size;
      int32_t speed;
      owner.Snapshot(&downloaded, &size, &speed);
      if (tty && size > 0) Show(tty, size, size, speed, 0), std::printf("\n");
      std::printf("done %s\n", target.c_str());
    } else if (code != 13) {
      if (tty) std::printf("\n");
      std::fprintf(stderr, "qiv-fetch: failed with code %d\n", code);
    }
    std::fflush(stdout);
  }
  return code;
}

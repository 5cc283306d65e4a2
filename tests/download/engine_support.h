// Helpers of the download engine tests: a recording task owner, file
// comparison and reading the program log for lines of any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "download/downloader_manager.h"

namespace qiv::test {

class Recorder : public ns_VDL::IDownloaderManagerCallBack {
 public:
  void OnFileName(int id, const wchar_t* name) override;
  void OnFileSize(int id, int64_t size) override;
  void OnProgress(int id, int64_t downloaded, int64_t size, int32_t speed) override;
  void OnTaskFinished(int id) override;
  void OnFailed(int id, int code) override;
  void OnSegmentEvent(int id, int segment, int kind, int64_t value) override;
  void OnStarted(int id) override;

  // Waits for OnTaskFinished (0) or OnFailed (its code); -1 on time-out.
  int WaitResult(int timeout_ms);
  // The task-wide callbacks in order ("started", "name", "size", "finished",
  // "failed"), without progress and segment events.
  std::vector<std::string> Sequence();
  int progress_count();
  std::wstring name();
  int64_t size();
  // Segment indexes that received kind-1 events after kind-0 values (length per segment).
  std::map<int, std::vector<int64_t>> lengths();
  bool bad_thread();  // a callback came on a thread it must not come on

 private:
  void Add(const std::string& what);
  std::mutex lock_;
  std::condition_variable cv_;
  std::vector<std::string> sequence_;
  int progress_ = 0;
  int result_ = -1;
  bool done_ = false;
  std::wstring name_;
  int64_t size_ = -1;
  int main_tid_ = 0;
  bool bad_thread_ = false;
  std::map<int, std::vector<int64_t>> lengths_;
};

// True when both files exist and hold the same bytes.
bool SameFile(const std::string& a, const std::string& b);
bool Exists(const std::string& path);
int64_t FileSizeOf(const std::string& path);
// The program log's text; lines are "... [LEVEL] tid - text\r\n".
std::string ProgramLogText();
// Occurrences of " - <text>\r\n" (any thread) in `log`.
int CountLine(const std::string& log, const std::string& text);
std::wstring W(const std::string& s);

}  // namespace qiv::test

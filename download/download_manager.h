// CDownloadManager: one file, downloaded in parallel byte ranges into a
// partial file beside the target that doubles as the resume record.
//
// The partial file is the target path followed by ".~P2S". With range
// support and a known size S it is S + 24 x N + 4 bytes long: the file's
// bytes at their final offsets, then N segment records (start, length,
// downloaded; little-endian int64 each), then N as an int32. The record is
// written when an attempt ends, and also about once a second while the
// workers run, always after the data it describes has been written, so a
// process that is killed resumes with about a second of work lost. With
// SetSyncRecord(true) the data is also flushed to the disk (fdatasync)
// before each running record, which makes the record safe against power
// loss at the cost of writing everything back while downloading.
//
// Threads: the caller's (Start, StopDownload), the manager's main thread
// (10 MiB stack) and one thread per running range worker. The main thread
// and every worker thread hold a shared reference to the manager, so a
// thread abandoned after its stop limit never touches freed memory; the
// owner's observer is detached (DetachObserver) before the owner goes away.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/download_http.h"
#include "download/download_message.h"
#include "platform/sync/sync.h"

// Result codes of a download.
enum DownloadResult : int {
  kDownOk = 0,
  kDownAlreadyPresent = 1,
  kDownShort = 3,
  kDownRemoteInfo = 5,
  kDownStartWorkers = 6,
  kDownFile = 9,
  kDownDiskFull = 10,
  kDownMd5 = 11,
  kDownOverrun = 12,
  kDownCancelled = 13,
  kDownIncomplete = 14,
  kDownStrayThread = 15,
};

struct SegmentRecord {
  int64_t start = 0;
  int64_t length = 0;
  int64_t downloaded = 0;
};
static_assert(sizeof(SegmentRecord) == 24, "the resume record holds 24-byte segment records");

class CDownloadManager : public std::enable_shared_from_this<CDownloadManager> {
 public:
  static constexpr int kDefaultSegments = 6;
  static constexpr int kMaxSegments = 63;
  static constexpr size_t kMainStack = 10485760;
  static constexpr int64_t kMinSteal = 102400;
  static constexpr int kAttempts = 10;

  CDownloadManager();
  virtual ~CDownloadManager();
  CDownloadManager(const CDownloadManager&) = delete;
  CDownloadManager& operator=(const CDownloadManager&) = delete;

  // 1 when the main thread started, 0 refused.
  int Start(const std::wstring& save_folder, const std::wstring& url, const std::wstring& file_name, int task_id,
            int force);
  void StopDownload();

  void SetRunning(int running);
  int IsActive();
  bool IsRunningFlag();
  void SetFinished(int finished);
  int IsFinished();
  // 0 the event still exists, 1 created anew, -1 failed.
  int RecreateStopEvent();
  std::wstring GetResumeFilePath();
  std::wstring GetTargetPath();
  int64_t GetDownloadedTotal();
  void PostMessage(int segment, int type, intptr_t payload);
  int SetThreadCount(int n);

  void SetObserver(ns_VDL::IObserver* observer);
  // Cuts the observer off and waits for calls into it that are under way
  // (other than one the calling thread is inside).
  void DetachObserver();
  void SetVerify(int verify) { verify_ = verify; }
  void SetMd5List(const std::wstring& list) { md5_list_ = list; }
  void SetVersion(const std::wstring& version) { version_ = version; }
  void SetTaskId(int id) { task_id_ = id; }
  int task_id() const { return task_id_; }

  uint64_t start_tick() const { return start_tick_.load(); }
  int64_t bytes_written() const { return bytes_written_.load(); }
  int64_t FileSize();  // the information worker's size, -1 when none
  bool MainThreadRunning();
  // Range workers whose threads are running now.
  int RunningWorkers();
  std::shared_ptr<void> KeepAlive() { return shared_from_this(); }

  // Steps of an attempt (the main thread; public for tests).
  int StartDownload();
  int WaitSegments();
  int AssignTask();
  int CreateWorkers();
  int ReadDownloadInfo();
  int WriteDownloadInfo();
  int HandleDownloadFinished(int code);
  int Rebalance(size_t idle);
  void BuildTargetPath();
  int MatchMd5(const std::wstring& computed, const std::wstring& list, bool first_entry);
  int CheckVersion();
  std::vector<SegmentRecord> SegmentTable();
  int segment_count() const { return segment_count_; }

  // Tests shorten the pause between attempts (default 3 x 1,100 ms) and
  // the interval of the running resume record (default 1,000 ms).
  static void SetRetryPauseForTesting(int pause_ms);
  static void SetRecordIntervalForTesting(int interval_ms);
  // fdatasync the partial file before every running record (default off).
  static void SetSyncRecord(bool sync);
  // The segment count a main thread starts with (6; qiv-fetch --connections).
  static void SetDefaultSegments(int n);

 private:
  static void OnData(int index, int64_t downloaded, int64_t written, void* context);
  void MainThread(std::shared_ptr<platform::Event> stop);
  std::shared_ptr<platform::Event> StopEvent();
  void CloseStopEvent(const std::shared_ptr<platform::Event>& which);
  void DestroyWorkers();
  void StopAllWorkers();
  std::vector<std::shared_ptr<CDownloadHttp>> Workers();
  bool RangesAndSize();
  void WriteRunningRecord();

  std::mutex event_lock_;
  std::shared_ptr<platform::Event> stop_event_;
  std::shared_ptr<platform::Event> wake_ = std::make_shared<platform::Event>(false, false);
  std::atomic<int64_t> bytes_written_{0};
  int force_ = 0;
  std::mutex thread_lock_;
  std::unique_ptr<platform::Thread> main_thread_;
  std::atomic<uint64_t> start_tick_{0};
  std::wstring save_folder_, file_name_, decoded_url_;
  std::mutex path_lock_;
  std::wstring target_path_;
  int segment_count_ = kDefaultSegments;
  std::mutex workers_lock_;
  std::shared_ptr<CDownloadHttp> info_;
  std::vector<std::shared_ptr<CDownloadHttp>> workers_;
  int loaded_count_ = 0;
  std::atomic<bool> assigned_{false};  // every range worker has been given its range
  std::mutex table_lock_;
  std::vector<SegmentRecord> table_;
  std::mutex running_lock_;
  int running_ = 1;
  std::mutex finished_lock_;
  int finished_ = 0;
  int verify_ = 0;
  int task_id_ = -1;
  std::mutex observer_lock_;
  std::condition_variable observer_idle_;
  ns_VDL::IObserver* observer_ = nullptr;
  int observer_calls_ = 0;
  std::wstring md5_list_;
  std::atomic<uint64_t> last_progress_tick_{0};
  std::wstring version_;
  uint64_t last_record_tick_ = 0;
};

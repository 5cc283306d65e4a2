// The download engine as the rest of the program sees it: tasks named by a
// caller-chosen id, created, stopped, resumed and deleted through
// IDownloaderManager, reporting through IDownloaderManagerCallBack.
//
// Callbacks arrive on the engine's threads, never on the caller's:
// OnStarted, OnFileName, OnFileSize, OnTaskFinished, OnFailed and
// OnSegmentEvent kind 0 on the task's main thread; OnProgress and
// OnSegmentEvent kinds 1 and 2 on the segment worker threads, several at
// once. A callback must not stop or delete its own task (a thread cannot
// wait for itself).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/download_manager.h"
#include "download/download_message.h"
#include "platform/win/message_queue.h"

namespace ns_VDL {

struct TaskInfo {
  int32_t task_id = 0;
  int64_t size = -1;
  int64_t downloaded = -1;
  int32_t speed = 0;
  wchar_t url[512] = {};
  wchar_t save_folder[512] = {};
  wchar_t file_name[1024] = {};
};

class IDownloaderManagerCallBack {
 public:
  virtual void OnFileName(int task_id, const wchar_t* name) = 0;
  virtual void OnFileSize(int task_id, int64_t size) = 0;
  virtual void OnProgress(int task_id, int64_t downloaded, int64_t size, int32_t speed) = 0;
  virtual void OnTaskFinished(int task_id) = 0;
  virtual void OnFailed(int task_id, int code) = 0;
  virtual void OnSegmentEvent(int task_id, int segment, int kind, int64_t value) = 0;
  virtual void OnStarted(int task_id) = 0;

 protected:
  ~IDownloaderManagerCallBack() = default;
};

class IDownloaderManager {
 public:
  virtual ~IDownloaderManager() = default;
  virtual int StopTask(int task_id) = 0;
  virtual int ResumeTask(int task_id) = 0;
  // Null folder: the temporary folder. Null file name: the remote name.
  virtual int AddTask(const wchar_t* url, const wchar_t* save_folder, const wchar_t* file_name, int task_id,
                      const wchar_t* version, const wchar_t* md5_list, int force) = 0;
  virtual int DeleteTask(int task_id) = 0;
  virtual int GetTaskInfo(int task_id, TaskInfo* info) = 0;
  virtual int CancelTask(int task_id) = 0;
  // Messages go to `window` as `message` with wParam = 0 and lParam = the
  // DownloadMessage*, which the window frees with FreeDownloadMessage.
  virtual void SetNotifyWindow(platform::HWND window, uint32_t message) = 0;
  virtual void SetCallBack(IDownloaderManagerCallBack* callback) = 0;
  virtual std::wstring GetResumeFilePath() = 0;
};

// The task list: one node per task, in the order they were added.
class CTaskManager {
 public:
  static constexpr size_t kUrlChars = 2048;
  static constexpr size_t kFolderChars = 2048;
  static constexpr size_t kNameChars = 1024;

  struct TaskNode {
    std::shared_ptr<CDownloadManager> manager;
    std::wstring url;
    std::wstring save_folder;
    std::wstring file_name;
    int32_t task_id = 0;
  };

  explicit CTaskManager(IObserver* observer) : observer_(observer) {}
  virtual ~CTaskManager() = default;

  std::mutex lock;
  std::vector<std::unique_ptr<TaskNode>> nodes;  // the list, in order
  std::shared_ptr<CDownloadManager> current;
  std::atomic<bool> available{true};
  IObserver* observer() const { return observer_; }

  TaskNode* Find(int task_id);

 private:
  IObserver* observer_;
};

class DownloaderManager : public IDownloaderManager, public IObserver {
 public:
  DownloaderManager();
  ~DownloaderManager() override;

  int StopTask(int task_id) override;
  int ResumeTask(int task_id) override;
  int AddTask(const wchar_t* url, const wchar_t* save_folder, const wchar_t* file_name, int task_id,
              const wchar_t* version, const wchar_t* md5_list, int force) override;
  int DeleteTask(int task_id) override;
  int GetTaskInfo(int task_id, TaskInfo* info) override;
  int CancelTask(int task_id) override;
  void SetNotifyWindow(platform::HWND window, uint32_t message) override;
  void SetCallBack(IDownloaderManagerCallBack* callback) override;
  std::wstring GetResumeFilePath() override;
  virtual int GetTaskCount();
  virtual int DeleteAllTasks();

  void Notify(DownloadMessage* message, intptr_t parameter) override;

  // The task's download manager (tests), or null.
  std::shared_ptr<CDownloadManager> TaskManagerOf(int task_id);

 private:
  static void DestroyTask(CTaskManager::TaskNode* node);

  std::unique_ptr<CTaskManager> tasks_;
  std::mutex target_lock_;
  IDownloaderManagerCallBack* callback_ = nullptr;
  platform::HWND window_ = 0;
  uint32_t message_ = 0;
};

}  // namespace ns_VDL

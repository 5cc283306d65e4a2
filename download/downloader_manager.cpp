#include "download/downloader_manager.h"

#include <algorithm>
#include <thread>

#include "download/http_text.h"
#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/text/text.h"

namespace ns_VDL {

namespace {
std::wstring Cut(const wchar_t* text, size_t chars) {
  std::wstring s = text ? text : L"";
  if (s.size() > chars - 1) s.resize(chars - 1);
  return s;
}

void CopyInto(wchar_t* out, size_t chars, const std::wstring& text) {
  size_t n = std::min(text.size(), chars - 1);
  std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), out);
  out[n] = L'\0';
}

// Holds the list lock for one interface operation and clears the
// availability flag while it runs, so that GetTaskInfo answers at once.
class Unavailable {
 public:
  explicit Unavailable(CTaskManager* tasks) : tasks_(tasks) {
    tasks_->available = false;
    guard_ = std::unique_lock<std::mutex>(tasks_->lock);
  }
  ~Unavailable() {
    guard_.unlock();
    tasks_->available = true;
  }

 private:
  CTaskManager* tasks_;
  std::unique_lock<std::mutex> guard_;
};
}  // namespace

CTaskManager::TaskNode* CTaskManager::Find(int task_id) {
  for (auto& n : nodes) {
    if (n->task_id == task_id) return n.get();
  }
  return nullptr;
}

DownloaderManager::DownloaderManager() : tasks_(std::make_unique<CTaskManager>(this)) {}

DownloaderManager::~DownloaderManager() {
  if (GetTaskCount() > 0) DeleteAllTasks();
}

void DownloaderManager::DestroyTask(CTaskManager::TaskNode* node) {
  if (!node->manager) return;
  node->manager->SetRunning(0);
  node->manager->StopDownload();
  node->manager->DetachObserver();
  node->manager.reset();
}

int DownloaderManager::StopTask(int task_id) {
  if (!tasks_) return 0;
  Unavailable hold(tasks_.get());
  if (CTaskManager::TaskNode* node = tasks_->Find(task_id)) {
    node->manager->SetRunning(0);
    node->manager->StopDownload();
  }
  return 1;
}

int DownloaderManager::ResumeTask(int task_id) {
  if (!tasks_) return 0;
  Unavailable hold(tasks_.get());
  CTaskManager::TaskNode* node = tasks_->Find(task_id);
  if (!node) return 0;
  node->manager->SetRunning(1);
  int fresh = node->manager->RecreateStopEvent();
  if (fresh == 0) return 1;
  if (fresh < 0) return 0;
  return node->manager->Start(node->save_folder, node->url, node->file_name, node->task_id, 0);
}

int DownloaderManager::AddTask(const wchar_t* url, const wchar_t* save_folder, const wchar_t* file_name, int task_id,
                               const wchar_t* version, const wchar_t* md5_list, int force) {
  if (!url || !tasks_) return -1;
  DeleteTask(task_id);
  std::lock_guard<std::mutex> guard(tasks_->lock);
  auto manager = std::make_shared<CDownloadManager>();
  manager->SetObserver(tasks_->observer());
  manager->SetVerify(1);
  std::wstring md5 = md5_list ? md5_list : L"";
  for (wchar_t& c : md5) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  manager->SetMd5List(md5);
  manager->SetVersion(version ? version : L"");
  auto node = std::make_unique<CTaskManager::TaskNode>();
  node->manager = manager;
  node->task_id = task_id;
  manager->SetTaskId(task_id);
  node->url = Cut(url, CTaskManager::kUrlChars);
  if (save_folder) {
    node->save_folder = Cut(save_folder, CTaskManager::kFolderChars);
  } else {
    std::string temp = platform::TempFolder();
    if (temp.empty()) {
      tasks_->nodes.push_back(std::move(node));
      return -1;
    }
    node->save_folder = Cut(platform::Utf8ToWideString(temp).c_str(), CTaskManager::kFolderChars);
  }
  node->file_name = Cut(file_name, CTaskManager::kNameChars);
  CTaskManager::TaskNode* raw = node.get();
  tasks_->nodes.push_back(std::move(node));
  int started = manager->Start(raw->save_folder, raw->url, raw->file_name, task_id, force);
  tasks_->current = manager;
  return started ? task_id : -1;
}

int DownloaderManager::DeleteTask(int task_id) {
  if (!tasks_) return 0;
  Unavailable hold(tasks_.get());
  auto& nodes = tasks_->nodes;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i]->task_id != task_id) continue;
    DestroyTask(nodes[i].get());
    nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(i));
    if (nodes.empty()) {
      tasks_->current.reset();
    } else if (i < nodes.size()) {
      tasks_->current = nodes[i]->manager;
    } else {
      tasks_->current = nodes[i - 1]->manager;
    }
    break;
  }
  return 1;
}

int DownloaderManager::CancelTask(int task_id) { return DeleteTask(task_id); }

int DownloaderManager::DeleteAllTasks() {
  if (!tasks_) return 0;
  {
    std::lock_guard<std::mutex> g(tasks_->lock);
    if (tasks_->nodes.empty()) return 0;
  }
  Unavailable hold(tasks_.get());
  for (auto& n : tasks_->nodes) n->manager->SetRunning(0);
  for (auto& n : tasks_->nodes) DestroyTask(n.get());
  tasks_->nodes.clear();
  tasks_->current.reset();
  return 1;
}

int DownloaderManager::GetTaskCount() {
  if (!tasks_) return 0;
  std::lock_guard<std::mutex> g(tasks_->lock);
  return static_cast<int>(tasks_->nodes.size());
}

int DownloaderManager::GetTaskInfo(int task_id, TaskInfo* info) {
  if (!info || !tasks_) return 0;
  // Never waits behind a stop, resume or delete.
  std::unique_lock<std::mutex> guard(tasks_->lock, std::defer_lock);
  for (;;) {
    if (!tasks_->available) return 0;
    if (guard.try_lock()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!tasks_->available) return 0;
  CTaskManager::TaskNode* node = tasks_->Find(task_id);
  if (!node) return 0;
  CDownloadManager* m = node->manager.get();
  uint64_t elapsed = platform::TickCount64() - m->start_tick();
  int64_t size = m->FileSize();
  int64_t downloaded = -1;
  int64_t bytes = 0;
  if (size > 0) {
    downloaded = m->GetDownloadedTotal();
    bytes = m->bytes_written();
  }
  info->task_id = task_id;
  if (size > 0 && downloaded >= 0) {
    uint64_t seconds = elapsed / 1000;
    info->size = size;
    info->downloaded = downloaded;
    info->speed = seconds == 0 ? 0 : static_cast<int32_t>(bytes / static_cast<int64_t>(seconds));
    CopyInto(info->url, 512, node->url);
    CopyInto(info->save_folder, 512, node->save_folder);
    CopyInto(info->file_name, 1024, node->file_name);
  } else {
    info->size = -1;
    info->downloaded = -1;
  }
  return 1;
}

std::wstring DownloaderManager::GetResumeFilePath() {
  if (!tasks_) return std::wstring();
  std::lock_guard<std::mutex> g(tasks_->lock);
  return tasks_->current ? tasks_->current->GetResumeFilePath() : std::wstring();
}

std::shared_ptr<CDownloadManager> DownloaderManager::TaskManagerOf(int task_id) {
  std::lock_guard<std::mutex> g(tasks_->lock);
  CTaskManager::TaskNode* node = tasks_->Find(task_id);
  return node ? node->manager : nullptr;
}

void DownloaderManager::SetCallBack(IDownloaderManagerCallBack* callback) {
  std::lock_guard<std::mutex> g(target_lock_);
  window_ = 0;
  message_ = 0;
  callback_ = callback;
}

void DownloaderManager::SetNotifyWindow(platform::HWND window, uint32_t message) {
  std::lock_guard<std::mutex> g(target_lock_);
  callback_ = nullptr;
  window_ = window;
  message_ = message;
}

void DownloaderManager::Notify(DownloadMessage* message, intptr_t parameter) {
  if (!message) return;
  IDownloaderManagerCallBack* callback;
  platform::HWND window;
  uint32_t number;
  {
    std::lock_guard<std::mutex> g(target_lock_);
    callback = callback_;
    window = window_;
    number = message_;
  }
  if (window && number) {
    if (!platform::PostMessage(window, number, static_cast<platform::WPARAM>(parameter),
                               reinterpret_cast<platform::LPARAM>(message))) {
      FreeDownloadMessage(message);
    }
    return;
  }
  if (callback) {
    int id = message->task_id;
    switch (message->type) {
      case kMsgFileName:
        if (message->payload) callback->OnFileName(id, reinterpret_cast<std::wstring*>(message->payload)->c_str());
        break;
      case kMsgFileSize:
        callback->OnFileSize(id, static_cast<int64_t>(message->payload));
        break;
      case kMsgResult:
        if (message->payload == 0) {
          callback->OnTaskFinished(id);
        } else {
          callback->OnFailed(id, static_cast<int>(message->payload));
        }
        break;
      case kMsgProgress: {
        auto* p = reinterpret_cast<ProgressRecord*>(message->payload);
        if (p) callback->OnProgress(id, p->downloaded, p->size, p->speed);
        break;
      }
      case kMsgSegLength:
        callback->OnSegmentEvent(id, message->segment, 0, static_cast<int64_t>(message->payload));
        break;
      case kMsgSegDownloaded:
        callback->OnSegmentEvent(id, message->segment, 1, static_cast<int64_t>(message->payload));
        break;
      case kMsgSegBuffered:
        callback->OnSegmentEvent(id, message->segment, 2, static_cast<int64_t>(message->payload));
        break;
      case kMsgStarted:
        callback->OnStarted(id);
        break;
      default:
        break;
    }
  }
  FreeDownloadMessage(message);
}

}  // namespace ns_VDL

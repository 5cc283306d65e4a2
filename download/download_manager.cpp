#include "download/download_manager.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/simple_log.h"
#include "download/address_registry.h"
#include "download/file_helpers.h"
#include "download/http_text.h"
#include "download/md5.h"
#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/resources/resources.h"
#include "platform/text/text.h"
#include "report/track_state.h"

namespace {
std::atomic<int> g_retry_pause_ms{3300};
std::atomic<int> g_record_interval_ms{1000};
std::atomic<bool> g_sync_record{false};
std::atomic<int> g_default_segments{CDownloadManager::kDefaultSegments};
thread_local int t_notify_depth = 0;  // calls into an observer on this thread

std::string Narrow(const std::wstring& path) { return platform::WideToUtf8String(path); }
std::string Ansi(const std::wstring& text) { return platform::WideToAnsi(text); }

bool ReadExactly(int fd, void* buffer, size_t size, off_t offset) {
  char* p = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = ::pread(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool WriteExactly(int fd, const void* buffer, size_t size, off_t offset) {
  const char* p = static_cast<const char*>(buffer);
  while (size > 0) {
    ssize_t n = ::pwrite(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

std::vector<std::wstring> SplitText(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t from = 0;
  for (;;) {
    size_t at = text.find(separator, from);
    parts.push_back(text.substr(from, at == std::wstring::npos ? std::wstring::npos : at - from));
    if (at == std::wstring::npos) break;
    from = at + 1;
  }
  return parts;
}

std::vector<long> VersionNumbers(const std::wstring& text) {
  std::vector<long> numbers;
  for (const std::wstring& part : SplitText(text, L'.')) {
    if (part.empty()) continue;
    numbers.push_back(std::wcstol(part.c_str(), nullptr, 10));
  }
  return numbers;
}
}  // namespace

namespace ns_VDL {
void FreeDownloadMessage(DownloadMessage* message) {
  if (!message) return;
  if (message->type == kMsgFileName) delete reinterpret_cast<std::wstring*>(message->payload);
  if (message->type == kMsgProgress) delete reinterpret_cast<ProgressRecord*>(message->payload);
  delete message;
}
}  // namespace ns_VDL

void CDownloadManager::SetRetryPauseForTesting(int pause_ms) { g_retry_pause_ms = pause_ms; }
void CDownloadManager::SetRecordIntervalForTesting(int interval_ms) { g_record_interval_ms = interval_ms; }
void CDownloadManager::SetSyncRecord(bool sync) { g_sync_record = sync; }
void CDownloadManager::SetDefaultSegments(int n) {
  if (n >= 1 && n <= kMaxSegments) g_default_segments = n;
}

CDownloadManager::CDownloadManager() : stop_event_(std::make_shared<platform::Event>(true, false)) {}

CDownloadManager::~CDownloadManager() {
  DetachObserver();
  std::shared_ptr<platform::Event> stop = StopEvent();
  if (stop) stop->Set();
  wake_->Set();
  {
    std::lock_guard<std::mutex> g(thread_lock_);
    // The main thread holds a reference to this object: when this runs, it
    // is either over, or this is its own last reference going away.
    if (main_thread_ && main_thread_->Id() == platform::CurrentThreadId()) main_thread_->Detach();
    main_thread_.reset();
  }
  DestroyWorkers();
  std::shared_ptr<CDownloadHttp> info;
  {
    std::lock_guard<std::mutex> g(workers_lock_);
    info.swap(info_);
  }
  if (info) info->Stop();
}

// --- flags, events, observer ------------------------------------------------

void CDownloadManager::SetRunning(int running) {
  std::lock_guard<std::mutex> g(running_lock_);
  running_ = running;
}

bool CDownloadManager::IsRunningFlag() {
  std::lock_guard<std::mutex> g(running_lock_);
  return running_ != 0;
}

int CDownloadManager::IsActive() {
  std::lock_guard<std::mutex> g(running_lock_);
  if (!running_) return 0;
  std::lock_guard<std::mutex> o(observer_lock_);
  return observer_ ? 1 : 0;
}

void CDownloadManager::SetFinished(int finished) {
  std::lock_guard<std::mutex> g(finished_lock_);
  finished_ = finished;
}

int CDownloadManager::IsFinished() {
  std::lock_guard<std::mutex> g(finished_lock_);
  return finished_;
}

std::shared_ptr<platform::Event> CDownloadManager::StopEvent() {
  std::lock_guard<std::mutex> g(event_lock_);
  return stop_event_;
}

void CDownloadManager::CloseStopEvent(const std::shared_ptr<platform::Event>& which) {
  std::lock_guard<std::mutex> g(event_lock_);
  if (!which || stop_event_ == which) stop_event_.reset();
}

int CDownloadManager::RecreateStopEvent() {
  std::lock_guard<std::mutex> g(event_lock_);
  if (stop_event_) return 0;
  stop_event_ = std::make_shared<platform::Event>(true, false);
  return stop_event_ ? 1 : -1;
}

void CDownloadManager::SetObserver(ns_VDL::IObserver* observer) {
  std::lock_guard<std::mutex> g(observer_lock_);
  observer_ = observer;
}

void CDownloadManager::DetachObserver() {
  std::unique_lock<std::mutex> g(observer_lock_);
  observer_ = nullptr;
  int own = t_notify_depth;
  observer_idle_.wait(g, [&] { return observer_calls_ <= own; });
}

void CDownloadManager::PostMessage(int segment, int type, intptr_t payload) {
  auto* message = new ns_VDL::DownloadMessage;
  message->segment = segment;
  message->task_id = task_id_;
  message->type = type;
  message->payload = payload;
  ns_VDL::IObserver* observer;
  {
    std::lock_guard<std::mutex> g(observer_lock_);
    observer = observer_;
    if (observer) ++observer_calls_;
  }
  if (!observer) {
    ns_VDL::FreeDownloadMessage(message);
    return;
  }
  ++t_notify_depth;
  observer->Notify(message, 0);
  --t_notify_depth;
  {
    std::lock_guard<std::mutex> g(observer_lock_);
    --observer_calls_;
  }
  observer_idle_.notify_all();
}

int CDownloadManager::SetThreadCount(int n) {
  if (n > kMaxSegments || n < 1) return 0;
  if (n != segment_count_) {
    QLOG("[INFO] %d - set thread count=[%d].", n);
    segment_count_ = n;
  }
  return 1;
}

std::wstring CDownloadManager::GetTargetPath() {
  std::lock_guard<std::mutex> g(path_lock_);
  return target_path_;
}

std::wstring CDownloadManager::GetResumeFilePath() {
  std::lock_guard<std::mutex> g(path_lock_);
  return target_path_.empty() ? std::wstring() : target_path_ + L".~P2S";
}

int64_t CDownloadManager::FileSize() {
  std::lock_guard<std::mutex> g(workers_lock_);
  return info_ ? info_->file_size() : -1;
}

bool CDownloadManager::MainThreadRunning() {
  std::lock_guard<std::mutex> g(thread_lock_);
  return main_thread_ && main_thread_->Running();
}

int CDownloadManager::RunningWorkers() {
  int n = 0;
  for (const auto& w : Workers()) n += w->IsRunning() ? 1 : 0;
  return n;
}

std::vector<std::shared_ptr<CDownloadHttp>> CDownloadManager::Workers() {
  std::lock_guard<std::mutex> g(workers_lock_);
  return workers_;
}

int64_t CDownloadManager::GetDownloadedTotal() {
  std::vector<std::shared_ptr<CDownloadHttp>> workers;
  int64_t size;
  bool known;
  {
    std::lock_guard<std::mutex> g(workers_lock_);
    size = info_ ? info_->file_size() : -1;
    known = info_ && info_->size_known();
    workers = workers_;
  }
  if (size == 0 && known) return 0;  // an empty file is complete as it is
  if (size <= 0) return -1;
  if (IsFinished()) return size;
  // Before the workers exist (or between attempts) nothing counts as
  // arrived yet: reporting the whole size there would show a finished
  // download that has not begun.
  if (workers.empty() || !assigned_.load()) return 0;
  int64_t remaining = 0;
  for (const auto& w : workers) remaining += w->GetRemaining();
  return size - remaining;
}

std::vector<SegmentRecord> CDownloadManager::SegmentTable() {
  std::lock_guard<std::mutex> g(table_lock_);
  return table_;
}

// --- start and stop ------------------------------------------------------------

int CDownloadManager::Start(const std::wstring& save_folder, const std::wstring& url, const std::wstring& file_name,
                            int task_id, int force) {
  if (!StopEvent()) {
    QLOG("[ERROR] %d - end event is invalid.");
    return 0;
  }
  if (save_folder.empty()) {
    QLOG("[ERROR] %d - save file path is empty.");
    CloseStopEvent(nullptr);
    return 0;
  }
  if (task_id <= 0) {
    QLOG("[ERROR] %d - pid=[%d] error.", task_id);
    CloseStopEvent(nullptr);
    return 0;
  }
  if (url.empty()) {
    QLOG("[ERROR] %d - download url is empty.");
    return 0;
  }
  if (MainThreadRunning()) {
    // An earlier main thread overran its stop limit and is still leaving.
    QLOG("[ERROR] %d - create download main thread failed!");
    return 0;
  }
  save_folder_ = save_folder;
  file_name_ = file_name;
  force_ = force;
  std::wstring decoded = UrlDecode(url);
  std::wstring host, path;
  uint16_t port = 0;
  if (decoded.size() > kMaxDecodedUrl || !ReadDownloadUrl(decoded, &host, &port, &path)) {
    QLOG("[ERROR] %d - parse url diy failed!");
    CloseStopEvent(nullptr);
    return 0;
  }
  decoded_url_ = decoded;
  QLOG("[INFO] %d - download url=[%s].", Ansi(decoded_url_).c_str());
  auto info = std::make_shared<CDownloadHttp>();
  info->SetTaskId(task_id);
  info->SetIndex(-1);
  info->SetOwner(this);
  if (!info->SetUrl(decoded_url_.c_str())) {
    QLOG("[ERROR] %d - create download pub info failed!");
    CloseStopEvent(nullptr);
    HandleDownloadFinished(kDownRemoteInfo);
    return 0;
  }
  {
    std::lock_guard<std::mutex> g(workers_lock_);
    info_ = info;
  }
  task_id_ = task_id;
  QLOG("[INFO] %d - create download main thread.");
  std::shared_ptr<platform::Event> stop = StopEvent();
  auto self = shared_from_this();
  auto thread = std::make_unique<platform::Thread>();
  if (!thread->Start([self, stop] { self->MainThread(stop); }, kMainStack)) {
    QLOG("[ERROR] %d - create download main thread failed!");
    CloseStopEvent(nullptr);
    return 0;
  }
  std::lock_guard<std::mutex> g(thread_lock_);
  main_thread_ = std::move(thread);
  return 1;
}

void CDownloadManager::StopDownload() {
  std::shared_ptr<platform::Event> stop = StopEvent();
  if (stop) stop->Set();
  wake_->Set();
  std::shared_ptr<CDownloadHttp> info;
  {
    std::lock_guard<std::mutex> g(workers_lock_);
    info = info_;
  }
  if (info) info->Stop();  // wakes an examination waiting on the network
  {
    std::lock_guard<std::mutex> g(thread_lock_);
    if (main_thread_ && main_thread_->Id() != platform::CurrentThreadId()) {
      StopThread(main_thread_.get(), 5000);
      if (!main_thread_->Running()) main_thread_.reset();
    }
  }
  DestroyWorkers();
  CloseStopEvent(stop);
}

void CDownloadManager::DestroyWorkers() {
  assigned_ = false;
  std::vector<std::shared_ptr<CDownloadHttp>> old;
  {
    std::lock_guard<std::mutex> g(workers_lock_);
    old.swap(workers_);
  }
  for (auto& w : old) {
    w->SetEndSignal(nullptr);
    w->Stop();
  }
}

void CDownloadManager::StopAllWorkers() {
  for (auto& w : Workers()) w->Stop();
  std::shared_ptr<CDownloadHttp> info;
  {
    std::lock_guard<std::mutex> g(workers_lock_);
    info = info_;
  }
  if (info) info->Stop();
}

// --- the main thread -------------------------------------------------------------

void CDownloadManager::MainThread(std::shared_ptr<platform::Event> stop) {
  if (IsActive()) PostMessage(-1, ns_VDL::kMsgStarted, 0);
  SetThreadCount(g_default_segments.load());
  for (int retry = 0;; ++retry) {
    QLOG("[INFO] %d - start download, retry=[%d]", retry);
    TrackSetInt(L"retrytips", retry);
    int r = StartDownload();
    QLOG("[INFO] %d - start download, retry=[%d] result=[%d]", retry, r);
    if (r == 1) {
      SetFinished(1);
      if (IsActive()) PostMessage(-1, ns_VDL::kMsgResult, 0);
      break;
    }
    if (r != 0) {
      r = HandleDownloadFinished(r);
    } else {
      QLOG("[INFO] %d - wait for download finished.");
      r = WaitSegments();
      if (r == 0) {
        bool all = true;
        for (const auto& w : Workers()) all = all && w->result() == 1;
        if (all) {
          QLOG("[INFO] %d - download finished.");
          SetFinished(1);
        } else {
          QLOG("[ERROR] %d - download failed!");
          r = kDownIncomplete;
        }
      }
      r = HandleDownloadFinished(r);
    }
    if (r == kDownMd5 || r == kDownOverrun) {
      std::wstring target = GetTargetPath();
      ::unlink(Narrow(target).c_str());
      ::unlink(Narrow(target + L".~P2S").c_str());
    }
    DestroyWorkers();
    {
      std::lock_guard<std::mutex> g(table_lock_);
      table_.clear();
    }
    if (r == 0 || retry == kAttempts - 1) {
      QLOG("[INFO] %d - download finished, retry=[%d], result=[%d].", retry, r);
      if (IsActive()) PostMessage(-1, ns_VDL::kMsgResult, r);
      break;
    }
    bool cancel = false;
    int slice = g_retry_pause_ms.load() / 3;
    for (int i = 0; i < 3 && !cancel; ++i) {
      if (stop->Wait(std::min(100, slice))) {
        cancel = true;
        break;
      }
      if (slice > 100) stop->Wait(static_cast<uint32_t>(slice - 100));  // the pause, woken by a stop
    }
    if (cancel || stop->IsSet()) {
      QLOG("[WARN] %d - download delay retry, cancel.");
      break;
    }
  }
  CloseStopEvent(stop);
}

int CDownloadManager::StartDownload() {
  start_tick_ = platform::TickCount64();
  std::shared_ptr<platform::Event> stop = StopEvent();
  std::shared_ptr<CDownloadHttp> info;
  {
    std::lock_guard<std::mutex> g(workers_lock_);
    info = info_;
  }
  if (!stop || !info) return kDownCancelled;
  info->SetUrl(decoded_url_.c_str());
  if (!info->FetchRemoteInfo()) {
    QLOG("[ERROR] %d - get remote site info failed!");
    return kDownRemoteInfo;
  }
  BuildTargetPath();
  if (stop->Wait(100)) {
    QLOG("[WARN] %d - cancel download.");
    return kDownCancelled;
  }
  std::wstring target = GetTargetPath();
  std::wstring partial = GetResumeFilePath();
  int64_t size = info->file_size();
  bool ranges = info->support_resume() == 1;
  bool fresh = false;
  if (force_) {
    ::unlink(Narrow(target).c_str());
    ::unlink(Narrow(partial).c_str());
    force_ = 0;
    fresh = true;
  }
  if (!fresh) {
    int probe = ::open(Narrow(target).c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    bool exists = probe >= 0 && ::fstat(probe, &st) == 0 && S_ISREG(st.st_mode);
    if (probe >= 0) ::close(probe);
    if (exists) {
      if (verify_ && !md5_list_.empty() && md5_list_[0] != L',') {
        std::wstring md5 = GetFileMd5(target);
        if (!md5.empty() && MatchMd5(md5, md5_list_, true)) {
          QLOG("[INFO] %d - check file md5 ok.");
          return kDownAlreadyPresent;
        }
      } else if (!version_.empty()) {
        if (CheckVersion()) {
          QLOG("[INFO] %d - check file verison ok.");
          return kDownAlreadyPresent;
        }
      } else {
        uint32_t local = static_cast<uint32_t>(st.st_size);
        uint32_t cdn = GetCdnFileSize(decoded_url_.c_str());
        QLOG("[INFO] %d - Check Cdn FileSize %ld, =? %ld", static_cast<long>(cdn), static_cast<long>(local));
        if (cdn != 0 && cdn == local) {
          QLOG("[INFO] %d - check file size ok.");
          return kDownAlreadyPresent;
        }
      }
    }
    if (ranges) {
      QLOG("[INFO] %d - check file resume.");
      struct stat pst {};
      int64_t expected = size + 24LL * segment_count_ + 4;
      if (size >= 0 && ::stat(Narrow(partial).c_str(), &pst) == 0 && pst.st_size == expected &&
          ReadDownloadInfo()) {
        QLOG("[INFO] %d - check file resume ok.");
        fresh = false;
        goto assign;
      }
    }
  }
  {
    // The save folder is made when missing.
    std::string folder = Narrow(save_folder_);
    if (!folder.empty()) platform::MakeFolders(folder);
    int64_t want = (size >= 0 && ranges) ? size + 24LL * segment_count_ + 4 : 0;
    int ret = CreateSizedFile(partial, want);
    QLOG("[INFO] %d - create null file=[%s], ret=[%d].", Ansi(partial).c_str(), ret);
    if (ret == 2) {
      QLOG("[ERROR] %d - disk space not enough!");
      return kDownDiskFull;
    }
    if (ret != 0) {
      QLOG("[ERROR] %d - create null file failed!");
      return kDownFile;
    }
    loaded_count_ = 0;
  }
assign:
  // The partial file's name already marks it as a partial download; there
  // is no hidden attribute to set on this platform.
  if (size == 0 && info->size_known()) {
    // An empty file: nothing to fetch.
    start_tick_ = platform::TickCount64();
    return 0;
  }
  if (!AssignTask()) {
    QLOG("[ERROR] %d - assign download task failed!");
    return kDownStartWorkers;
  }
  start_tick_ = platform::TickCount64();
  last_record_tick_ = start_tick_;
  return 0;
}

void CDownloadManager::BuildTargetPath() {
  std::wstring folder = save_folder_;
  EnsureTrailingSeparator(folder, L'/');
  std::wstring base, ext;
  std::wstring url_folder, url_base, url_ext, url_name;
  std::wstring host, path;
  uint16_t port = 0;
  if (ReadDownloadUrl(decoded_url_, &host, &port, &path)) {
    std::wstring name_part = path.substr(0, path.find(L'?'));
    size_t slash = name_part.rfind(L'/');
    url_name = slash == std::wstring::npos ? name_part : name_part.substr(slash + 1);
  }
  if (!file_name_.empty() && LowerAscii(file_name_) != LowerAscii(url_name)) {
    if (!SplitExtension(file_name_, &base, &ext)) base.clear();
  }
  std::wstring target;
  if (base.empty()) {
    std::wstring remote;
    {
      std::lock_guard<std::mutex> g(workers_lock_);
      if (info_) remote = info_->RemoteFileName();
    }
    target = SanitizePath(folder, false) + SanitizePath(remote, true);
  } else if (!ext.empty()) {
    target = folder + SanitizePath(base, true) + L"." + SanitizePath(ext, true);
  } else {
    target = folder + base;
  }
  std::lock_guard<std::mutex> g(path_lock_);
  target_path_ = target;
}

int CDownloadManager::MatchMd5(const std::wstring& computed, const std::wstring& list, bool first_entry) {
  TrackAddPair(L"filemd5_" + std::to_wstring(task_id_), computed, true);
  if (first_entry && !list.empty() && list[0] == L',') return 0;
  for (const std::wstring& entry : SplitText(list, L',')) {
    if (entry == computed) {
      TrackAddPair(L"matchmd5_" + std::to_wstring(task_id_), L"1", false);
      return 1;
    }
    if (first_entry) break;
  }
  return 0;
}

int CDownloadManager::CheckVersion() {
  auto version = platform::GetFileVersion(Narrow(GetTargetPath()));
  if (!version) return 0;
  std::wstring text = platform::Utf8ToWideString(platform::FormatVersion(version->file));
  std::vector<long> have = VersionNumbers(text);
  std::vector<long> want = VersionNumbers(version_);
  if (have.size() < 3 || want.size() < 3) return 0;
  for (int i = 0; i < 3; ++i) {
    if (have[i] < want[i]) return 0;
  }
  return 1;
}

bool CDownloadManager::RangesAndSize() {
  std::lock_guard<std::mutex> g(workers_lock_);
  return info_ && info_->support_resume() == 1 && info_->file_size() > 0;
}

int CDownloadManager::CreateWorkers() {
  DestroyWorkers();
  std::wstring partial = GetResumeFilePath();
  if (partial.empty()) return 0;
  std::wstring url = decoded_url_;
  int64_t size = -1;
  {
    std::lock_guard<std::mutex> g(workers_lock_);
    if (info_) {
      if (!info_->redirected_url().empty()) url = info_->redirected_url();
      size = info_->file_size();
    }
  }
  std::vector<std::shared_ptr<CDownloadHttp>> created;
  for (int i = 0; i < segment_count_; ++i) {
    auto w = std::make_shared<CDownloadHttp>();
    w->SetTaskId(task_id_);
    w->SetIndex(i);
    w->SetOwner(this);
    w->SetDataCallback(&CDownloadManager::OnData, this);
    if (!w->SetUrl(url.c_str())) return 0;
    w->SetFilePath(partial);
    w->SetEndSignal(wake_);
    created.push_back(std::move(w));
  }
  (void)size;
  {
    std::lock_guard<std::mutex> g(workers_lock_);
    workers_ = std::move(created);
  }
  std::lock_guard<std::mutex> g(table_lock_);
  table_.assign(static_cast<size_t>(segment_count_), SegmentRecord());
  return 1;
}

int CDownloadManager::AssignTask() {
  std::shared_ptr<CDownloadHttp> info;
  {
    std::lock_guard<std::mutex> g(workers_lock_);
    info = info_;
  }
  int64_t size = info->file_size();
  int ranges = info->support_resume();
  if (!ranges || size <= 0) {
    QLOG("[WARN] %d - assign download task, file size=[%lld], support resume=[%d]", static_cast<long long>(size),
         ranges);
    if (segment_count_ != 1) {
      DestroyWorkers();
      SetThreadCount(1);
      loaded_count_ = 0;
    }
  }
  bool loaded = false;
  {
    std::lock_guard<std::mutex> g(table_lock_);
    if (loaded_count_ >= 1 && loaded_count_ <= kMaxSegments && static_cast<int>(table_.size()) == loaded_count_) {
      for (const auto& r : table_) loaded = loaded || r.length > 0;
    }
  }
  if (!loaded || Workers().size() != static_cast<size_t>(segment_count_)) {
    if (!loaded) loaded_count_ = 0;
    std::vector<SegmentRecord> keep = SegmentTable();
    if (!CreateWorkers()) {
      QLOG("[ERROR] %d - assign download task, %p, %p", static_cast<void*>(nullptr), static_cast<void*>(nullptr));
      return 0;
    }
    if (loaded && keep.size() == static_cast<size_t>(segment_count_)) {
      std::lock_guard<std::mutex> g(table_lock_);
      table_ = keep;
    }
  }
  int n = segment_count_;
  if (!loaded) {
    std::lock_guard<std::mutex> g(table_lock_);
    int64_t start = 0;
    for (int i = 0; i < n; ++i) {
      SegmentRecord& r = table_[static_cast<size_t>(i)];
      if (size > 0) {
        r.length = size / n + (i == 0 ? size % n : 0);
        r.start = start;
        start += r.length;
      } else {
        r.length = -1;
        r.start = 0;
      }
      r.downloaded = 0;
    }
  }
  std::vector<SegmentRecord> table = SegmentTable();
  std::vector<std::shared_ptr<CDownloadHttp>> workers = Workers();
  for (int i = 0; i < n; ++i) {
    const SegmentRecord& r = table[static_cast<size_t>(i)];
    if (!workers[static_cast<size_t>(i)]->StartSegment(r.start, r.length, r.downloaded)) {
      QLOG("[ERROR] %d - assign download task, call download failed! index=[%d]", i);
      return 0;
    }
  }
  loaded_count_ = n;
  assigned_ = true;
  return 1;
}

int CDownloadManager::ReadDownloadInfo() {
  std::wstring partial = GetResumeFilePath();
  int fd = ::open(Narrow(partial).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    QLOG("[ERROR] %d - read download info, open file failed!");
    return 0;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    QLOG("[ERROR] %d - read download info, get file size failed!");
    ::close(fd);
    return 0;
  }
  if (st.st_size < 4) {
    QLOG("[ERROR] %d - read download info, set base down info pointer failed!");
    ::close(fd);
    return 0;
  }
  int32_t count = 0;
  if (!ReadExactly(fd, &count, 4, st.st_size - 4)) {
    QLOG("[ERROR] %d - read download info, read base down info failed!");
    ::close(fd);
    return 0;
  }
  if (count < 1 || count > kMaxSegments) {
    ::close(fd);
    return 0;
  }
  SetThreadCount(count);
  if (!CreateWorkers()) {
    ::close(fd);
    return 0;
  }
  int64_t table_bytes = 24LL * count + 4;
  if (st.st_size < table_bytes) {
    QLOG("[ERROR] %d - read download info, set info pointer failed!");
    ::close(fd);
    return 0;
  }
  std::vector<SegmentRecord> table(static_cast<size_t>(count));
  bool ok = ReadExactly(fd, table.data(), 24u * static_cast<size_t>(count), st.st_size - table_bytes);
  ::close(fd);
  if (!ok) {
    QLOG("[ERROR] %d - read download info, read info failed! read_size=[%d]", 0);
    std::lock_guard<std::mutex> g(table_lock_);
    table_.assign(static_cast<size_t>(count), SegmentRecord());
    return 0;
  }
  // A record that does not describe ranges inside the file is not trusted.
  int64_t size = st.st_size - table_bytes;
  bool sane = false;
  for (const auto& r : table) {
    if (r.start < 0 || r.length < 0 || r.downloaded < 0 || r.downloaded > r.length || r.start + r.length > size) {
      std::lock_guard<std::mutex> g(table_lock_);
      table_.assign(static_cast<size_t>(count), SegmentRecord());
      return 0;
    }
    sane = sane || r.length > 0;
  }
  std::lock_guard<std::mutex> g(table_lock_);
  table_ = table;
  loaded_count_ = count;
  return sane ? 1 : 0;
}

int CDownloadManager::WriteDownloadInfo() {
  if (!RangesAndSize() || loaded_count_ == 0) return 0;
  std::vector<SegmentRecord> table = SegmentTable();
  if (table.empty()) return 0;
  int fd = ::open(Narrow(GetResumeFilePath()).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st {};
  int32_t count = static_cast<int32_t>(table.size());
  int64_t table_bytes = 24LL * count + 4;
  bool ok = ::fstat(fd, &st) == 0 && st.st_size >= table_bytes;
  if (ok) {
    std::vector<char> bytes(static_cast<size_t>(table_bytes));
    std::memcpy(bytes.data(), table.data(), 24u * table.size());
    std::memcpy(bytes.data() + 24u * table.size(), &count, 4);
    ok = WriteExactly(fd, bytes.data(), bytes.size(), st.st_size - table_bytes);
  }
  ::close(fd);
  return ok ? 1 : 0;
}

void CDownloadManager::WriteRunningRecord() {
  if (!RangesAndSize() || loaded_count_ == 0) return;
  // The data is written (pwrite) before the record that describes it, so a
  // killed process resumes correctly: the page cache outlives the process.
  // Against power loss the data must reach the disk first; that costs the
  // write-back of everything fetched and is optional (SetSyncRecord).
  int fd = ::open(Narrow(GetResumeFilePath()).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (g_sync_record.load()) ::fdatasync(fd);
  ::close(fd);
  WriteDownloadInfo();
}

int CDownloadManager::WaitSegments() {
  std::shared_ptr<platform::Event> stop = StopEvent();
  int result = -1;
  while (result < 0) {
    if (!stop || stop->IsSet()) {
      result = kDownCancelled;
      break;
    }
    std::vector<std::shared_ptr<CDownloadHttp>> workers = Workers();
    bool any_thread = false;
    bool changed = false;
    for (size_t i = 0; i < workers.size(); ++i) {
      auto& w = workers[i];
      if (!w->HasThread()) continue;
      if (w->IsRunning()) {
        any_thread = true;
        continue;
      }
      // This worker's thread has ended.
      changed = true;
      if (w->result() == 1 && Rebalance(i)) {
        any_thread = true;
        continue;
      }
      w->CloseThread();
    }
    if (changed) continue;
    if (!any_thread) {
      int64_t total = GetDownloadedTotal();
      int64_t size = FileSize();
      result = total == size ? kDownOk : (total > size ? kDownOverrun : kDownShort);
      for (const auto& w : workers) {
        if (w->overran()) result = kDownOverrun;
      }
      if (result == kDownOk) return kDownOk;
      break;
    }
    int interval = g_record_interval_ms.load();
    wake_->Wait(static_cast<uint32_t>(interval));
    uint64_t now = platform::TickCount64();
    if (now - last_record_tick_ >= static_cast<uint64_t>(interval)) {
      WriteRunningRecord();
      last_record_tick_ = now;
    }
  }
  StopAllWorkers();
  return result;
}

int CDownloadManager::Rebalance(size_t idle) {
  if (segment_count_ <= 1) return 0;
  std::vector<std::shared_ptr<CDownloadHttp>> workers = Workers();
  if (idle >= workers.size()) return 0;
  SegmentRecord mine;
  {
    std::lock_guard<std::mutex> g(table_lock_);
    if (idle >= table_.size()) return 0;
    mine = table_[idle];
  }
  if (mine.length <= 0) return 0;
  int donor = -1;
  int64_t best = 0;
  bool donor_running = false;
  for (size_t i = 0; i < workers.size(); ++i) {
    bool running = workers[i]->IsRunning();
    bool complete = workers[i]->result() == 1;
    int64_t remaining = workers[i]->GetRemaining();
    if (!running && !complete) {
      donor = static_cast<int>(i);
      donor_running = false;
      break;
    }
    if (remaining > best) {
      best = remaining;
      donor = static_cast<int>(i);
      donor_running = running;
    }
  }
  if (donor < 0 || static_cast<size_t>(donor) == idle) return 0;
  auto& d = workers[static_cast<size_t>(donor)];
  int64_t amount = d->TakeTail(donor_running, kMinSteal);
  if (amount <= 0) return 0;
  int64_t donor_start = d->start();
  int64_t donor_length = d->GetLength();
  SegmentRecord next;
  next.start = donor_start + donor_length;
  next.length = amount;
  next.downloaded = 0;
  {
    std::lock_guard<std::mutex> g(table_lock_);
    table_[static_cast<size_t>(donor)].length = donor_length;
    table_[idle] = next;
  }
  if (!donor_running) d->MarkComplete();
  auto& a = workers[idle];
  a->Reset();
  if (!a->StartSegment(next.start, next.length, 0)) {
    // The stolen range goes back to nobody: the attempt ends short and the
    // record (which still lists it under the idle worker) resumes it.
    return 0;
  }
  return 1;
}

void CDownloadManager::OnData(int index, int64_t downloaded, int64_t written, void* context) {
  auto* self = static_cast<CDownloadManager*>(context);
  if (downloaded < 0) return;
  {
    std::lock_guard<std::mutex> g(self->table_lock_);
    if (index < 0 || static_cast<size_t>(index) >= self->table_.size()) return;
    if (downloaded > 0) self->table_[static_cast<size_t>(index)].downloaded = downloaded;
  }
  self->bytes_written_ += written;
  if (!self->IsActive()) return;
  self->PostMessage(index, ns_VDL::kMsgSegDownloaded, static_cast<intptr_t>(downloaded));
  int64_t size = self->FileSize();
  if (size <= 0) return;
  uint64_t now = platform::TickCount64();
  uint64_t last = self->last_progress_tick_.load();
  if (now - last <= 100) return;
  if (!self->last_progress_tick_.compare_exchange_strong(last, now)) return;
  auto* p = new ns_VDL::ProgressRecord;
  p->task_id = self->task_id_;
  p->size = size;
  p->downloaded = self->GetDownloadedTotal();
  uint64_t elapsed = now - self->start_tick_.load();
  p->speed = elapsed == 0 ? 0 : static_cast<int32_t>((self->bytes_written_.load() / static_cast<int64_t>(elapsed)) * 1000);
  self->PostMessage(-1, ns_VDL::kMsgProgress, reinterpret_cast<intptr_t>(p));
}

int CDownloadManager::HandleDownloadFinished(int code) {
  QLOG("[INFO] %d - handle download finished, begin result=[%d]", code);
  if (code != 0) WriteDownloadInfo();
  std::wstring target = GetTargetPath();
  std::wstring partial = target + L".~P2S";
  if (code == 0) {
    int fd = ::open(Narrow(partial).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      code = kDownFile;
    } else {
      int64_t size = FileSize();
      if (size < 0) size = 0;
      bool cut = ::ftruncate(fd, size) == 0;
      ::close(fd);
      if (!cut) {
        code = kDownFile;
      } else {
        QLOG("[INFO] %d - handle download finished, check file size ok.");
        ::unlink(Narrow(target).c_str());
        if (::rename(Narrow(partial).c_str(), Narrow(target).c_str()) != 0) {
          QLOG("[ERROR] %d - handle download finished, rename failed! error=[%d].", errno);
          code = kDownFile;
        }
      }
    }
  }
  if (verify_ && md5_list_.size() > 3 && code == 0) {
    QLOG("[INFO] %d - handle download finished, check file md5");
    std::wstring md5 = GetFileMd5(target);
    TrackSetString(L"downpackagemd5", md5);
    if (md5.empty() || !MatchMd5(md5, md5_list_, false)) {
      QLOG("[ERROR] %d - handle download finished, check file md5 failed!");
      ::unlink(Narrow(target).c_str());
      code = kDownMd5;
    }
  }
  QLOG("[INFO] %d - handle download finished, end result=[%d]", code);
  return code;
}

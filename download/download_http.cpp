#include "download/download_http.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "app/simple_log.h"
#include "download/address_registry.h"
#include "download/download_manager.h"
#include "download/file_helpers.h"
#include "download/http_text.h"
#include "platform/clock/clock.h"
#include "platform/net/net.h"
#include "platform/text/text.h"
#include "report/track_state.h"

namespace {
const wchar_t kUserAgent[] = L"Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0)";


// One ANSI path for the POSIX calls.
std::string Narrow(const std::wstring& path) { return platform::WideToUtf8String(path); }
}  // namespace

bool ReadDownloadUrl(const std::wstring& raw, std::wstring* host, uint16_t* port, std::wstring* path) {
  std::wstring own = TrimBlanks(raw);
  if (own.empty()) return false;
  for (wchar_t& c : own) {
    if (c == L'\\') c = L'/';
  }
  std::wstring work = LowerAscii(own);
  if (work.find(L"://") == std::wstring::npos) {
    own = L"http://" + own;
    work = L"http://" + work;
  }
  size_t sep = work.find(L"://");
  own.erase(0, sep + 3);
  work.erase(0, sep + 3);
  size_t slash = work.find(L'/');
  if (slash == std::wstring::npos) return false;
  std::wstring p = own.substr(slash);
  ReplaceAll(p, L" ", L"%20");
  ReplaceAll(p, L"+", L"%2B");
  std::wstring authority = work.substr(0, slash);
  size_t colon = authority.find(L':');
  uint16_t number = 80;
  std::wstring h = authority;
  if (colon != std::wstring::npos) {
    h = authority.substr(0, colon);
    std::wstring digits = authority.substr(colon + 1);
    long value = 0;
    bool ok = !digits.empty() && digits.size() <= 5;
    for (wchar_t c : digits) {
      ok = ok && c >= L'0' && c <= L'9';
      if (ok) value = value * 10 + (c - L'0');
    }
    if (!ok || value < 1 || value > 65535) return false;
    number = static_cast<uint16_t>(value);
  }
  if (h.empty()) return false;
  *host = h;
  *port = number;
  *path = p;
  return true;
}

std::wstring RemoteFileNameOfPath(const std::wstring& path) {
  std::wstring folder, base, ext;
  if (!SplitPathName(path, &folder, &base, &ext)) return std::wstring();
  std::wstring name = ext.empty() ? base : base + L"." + ext;
  ReplaceAll(name, L"%20", L" ");
  ReplaceAll(name, L"%2B", L"+");
  return name;
}

// ---------------------------------------------------------------------------
// CDownloadBase

CDownloadBase::CDownloadBase() : user_agent_(kUserAgent) {}

CDownloadBase::~CDownloadBase() {
  Stop();
  CloseFile();
}

int CDownloadBase::SetUrl(const wchar_t* url) {
  if (!url) {
    QLOG("[ERROR] %d - download url is empty.");
    return 0;
  }
  std::wstring trimmed = TrimBlanks(url);
  if (trimmed.empty()) {
    QLOG("[ERROR] %d - download url is Empty.");
    return 0;
  }
  url_ = trimmed;
  return ReadDownloadUrl(url_, &host_, &port_, &path_) ? 1 : 0;
}

int64_t CDownloadBase::GetDownloaded() {
  std::lock_guard<std::mutex> g(lock_downloaded_);
  return downloaded_;
}
void CDownloadBase::SetDownloaded(int64_t value) {
  std::lock_guard<std::mutex> g(lock_downloaded_);
  downloaded_ = value;
}
int64_t CDownloadBase::GetLength() {
  std::lock_guard<std::mutex> g(lock_length_);
  return length_;
}
void CDownloadBase::SetLength(int64_t value) {
  {
    std::lock_guard<std::mutex> g(lock_length_);
    length_ = value;
  }
  PostSegment(ns_VDL::kMsgSegLength, value);
}
int32_t CDownloadBase::GetBuffered() {
  std::lock_guard<std::mutex> g(lock_buffered_);
  return buffered_;
}
int64_t CDownloadBase::GetRemaining() {
  std::lock_guard<std::mutex> g(lock_length_);
  return length_ - claimed_;
}

int64_t CDownloadBase::TakeTail(bool running_donor, int64_t minimum) {
  int64_t amount = 0;
  int64_t now_length = 0;
  {
    std::lock_guard<std::mutex> g(lock_length_);
    int64_t remaining = length_ - claimed_;
    if (remaining <= 0) return 0;
    if (running_donor && remaining < minimum) return 0;
    amount = running_donor ? remaining / 2 : remaining;
    length_ -= amount;
    now_length = length_;
  }
  PostSegment(ns_VDL::kMsgSegLength, now_length);
  return amount;
}

bool CDownloadBase::IsRunning() const {
  std::lock_guard<std::mutex> g(thread_lock_);
  return thread_ && thread_->Running();
}

std::unique_ptr<platform::Thread> CDownloadBase::TakeThread() {
  std::lock_guard<std::mutex> g(thread_lock_);
  return std::move(thread_);
}

void CDownloadBase::CloseThread() {
  std::unique_ptr<platform::Thread> thread = TakeThread();
  if (!thread) return;
  if (thread->Id() == platform::CurrentThreadId()) {
    thread->Detach();
  } else {
    thread->Join();
  }
}

bool CDownloadBase::Active() const { return owner_ && owner_->IsRunningFlag(); }

void CDownloadBase::PostSegment(int type, int64_t value) {
  if (Active()) owner_->PostMessage(index_, type, static_cast<intptr_t>(value));
}

void CDownloadBase::ReleaseAddressOf() {
  if (picked_ip_ != 0) {
    ReleaseAddress(picked_ip_, host_);
    picked_ip_ = 0;
  }
}

void CDownloadBase::CloseFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void CDownloadBase::Stop() {
  stop_.Set();
  socket_.Shutdown();
  std::unique_ptr<platform::Thread> thread = TakeThread();
  if (thread) {
    if (thread->Id() == platform::CurrentThreadId()) {
      thread->Detach();  // a worker that ends its own manager: it is leaving anyway
    } else {
      StopThread(thread.get(), 1000);
    }
  }
}

void CDownloadBase::Reset() {
  CloseThread();
  CloseFile();
  start_ = 0;
  {
    std::lock_guard<std::mutex> g(lock_length_);
    length_ = 0;
    claimed_ = 0;
  }
  {
    std::lock_guard<std::mutex> g(lock_buffered_);
    buffered_ = 0;
  }
  SetDownloaded(0);
  result_ = 0;
  overran_ = false;
}

int CDownloadBase::OpenConnection() {
  if (host_.empty()) return 0;
  ReleaseAddressOf();
  uint32_t ip = PickAddress(host_);
  if (ip != 0) {
    picked_ip_ = ip;
    return socket_.ConnectIp(ip, port_);
  }
  return socket_.Connect(host_.c_str(), port_);
}

int CDownloadBase::StartSegment(int64_t start, int64_t length, int64_t downloaded) {
  QLOG("[INFO] %d - download: start_pos=[%lld], will_download=[%lld], downloaed=[%lld]",
       static_cast<long long>(start), static_cast<long long>(length), static_cast<long long>(downloaded));
  if (length == 0) {
    result_ = 1;
    return 1;
  }
  CloseThread();
  start_ = start;
  int64_t size = file_size_.load();
  if (size > 0 && length > size) length = size;
  {
    std::lock_guard<std::mutex> g(lock_length_);
    length_ = length;
    claimed_ = std::max<int64_t>(downloaded, 0);
  }
  PostSegment(ns_VDL::kMsgSegLength, length);
  SetDownloaded(downloaded);
  result_ = 0;
  stop_.Reset();
  auto self = shared_from_this();
  std::shared_ptr<void> keep_owner = owner_ ? owner_->KeepAlive() : nullptr;
  auto thread = std::make_unique<platform::Thread>();
  bool ok = thread->Start(
      [self, keep_owner] {
        self->ThreadMain();
        if (auto signal = self->end_signal_) signal->Set();
      },
      kThreadStack);
  if (!ok) {
    QLOG("[ERROR] %d - create download thread failed!");
    return 0;
  }
  {
    std::lock_guard<std::mutex> g(thread_lock_);
    thread_ = std::move(thread);
  }
  QLOG("[INFO] %d - create download thread success.");
  return 1;
}

void CDownloadBase::ThreadMain() {
  QLOG("[INFO] %d - run download thread.");
  int result = 0;
  for (int retry = 0; retry < kAttempts; ++retry) {
    QLOG("[INFO] %d - download, retry=[%d]", retry);
    if (DownloadOnce()) {
      result = 1;
      break;
    }
    QLOG("[ERROR] %d - download, retry=[%d] failed!", retry);
    if (callback_) callback_(index_, 0, 0, callback_context_);
    if (stop_.Wait(100)) break;
  }
  QLOG("[INFO] %d - download result=[%d]", result);
  result_ = result;
  ReleaseAddressOf();
  socket_.Close();
  CloseFile();
}

int CDownloadBase::PrepareFile() {
  if (fd_ < 0) {
    fd_ = ::open(Narrow(file_path_).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      QLOG("[ERROR] %d - download, prepare file failed!");
      return 0;
    }
  }
  return 1;
}

int CDownloadBase::DownloadOnce() {
  if (!PrepareFile()) return 0;
  if (!socket_.connected() && !OpenConnection()) {
    QLOG("[ERROR] %d - download, connect failed!");
    return 0;
  }
  return 1;
}

int64_t CDownloadBase::WriteData(const char* bytes, int64_t n) {
  if (n < 0 || fd_ < 0) return -1;
  int64_t done = GetDownloaded();
  int64_t offset = start_.load() + done;
  int64_t left = n;
  while (left > 0) {
    ssize_t w = ::pwrite(fd_, bytes, static_cast<size_t>(left), offset);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    bytes += w;
    left -= w;
    offset += w;
  }
  int64_t now;
  {
    std::lock_guard<std::mutex> g(lock_downloaded_);
    downloaded_ += n;
    now = downloaded_;
  }
  if (callback_) callback_(index_, now, n, callback_context_);
  return now;
}

int CDownloadBase::ReceiveToFile(CCustomizeSocket* socket, const char* first, int count) {
  int64_t downloaded = GetDownloaded();
  int64_t length = GetLength();
  if (first && count > 0 && requested_ >= 0 && count > requested_) {
    // More bytes came with the headers than the range asked for: the file
    // on the server is larger than it said. Only the range is written.
    overran_ = true;
  }
  if (first && count > 0) {
    // Only what the range still needs counts: a shrunk range stops at its new end.
    int64_t take = count;
    {
      std::lock_guard<std::mutex> g(lock_length_);
      if (length_ > 0) take = std::max<int64_t>(0, std::min<int64_t>(take, length_ - claimed_));
      claimed_ += take;
    }
    if (take > 0) {
      int64_t w = WriteData(first, take);
      if (w < 0) {
        std::lock_guard<std::mutex> g(lock_length_);
        claimed_ = GetDownloaded();
        return 0;
      }
      downloaded = w;
    }
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kSaveBufferSize]);
  if (!buffer) {
    QLOG("[WARN] %d - new temp save buf failed!");
    return 0;
  }
  {
    std::lock_guard<std::mutex> g(lock_buffered_);
    buffered_ = 0;
  }
  std::wstring ip_text = socket->GetIpText();
  TrackCountCdn(ip_text);
  QLOG("[INFO] %d - receive data from ip=[%s]", platform::WideToAnsi(ip_text).c_str());
  int64_t window_bytes = 0;
  int64_t window_start = platform::TickCount64() / 1000;
  uint64_t last_flush = platform::TickCount64();
  int fill = 0;
  bool write_failed = false;
  for (;;) {
    bool done = false;
    int pass = 0;
    length = GetLength();
    if (length > 0 && downloaded + fill >= length) {
      QLOG("[INFO] %d - received=[%lld], willdownload=[%lld], download finished.",
           static_cast<long long>(downloaded + fill), static_cast<long long>(length));
      done = true;
    } else if (stop_.Wait(0)) {
      QLOG("[WARN] %d - event, download finished.");
      done = true;
    } else {
      int want = kSaveBufferSize - fill;
      if (length > 0) want = static_cast<int>(std::min<int64_t>(want, length - downloaded - fill));
      int n = socket->Receive(buffer.get() + fill, want);
      if (n <= 0) {
        QLOG("[WARN] %d - receive size=[%d], download finished.", n);
        done = true;
      } else {
        {
          std::lock_guard<std::mutex> g(lock_length_);
          if (length_ > 0) n = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(n, length_ - claimed_)));
          claimed_ += n;
        }
        fill += n;
        pass = n;
      }
    }
    uint64_t now_ms = platform::TickCount64();
    // A full buffer is written; so is anything held for a second, so that a
    // slow connection keeps the file (and its resume record) current.
    bool flush = done || fill >= kSaveThreshold || (fill > 0 && now_ms - last_flush >= 1000);
    if (flush && fill > 0) {
      int64_t w = WriteData(buffer.get(), fill);
      if (w < 0) {
        write_failed = true;
        break;
      }
      downloaded = w;
      fill = 0;
      last_flush = now_ms;
    } else if (flush) {
      last_flush = now_ms;
    }
    {
      std::lock_guard<std::mutex> g(lock_buffered_);
      buffered_ = fill;
    }
    if (pass == 0 || flush) PostSegment(ns_VDL::kMsgSegBuffered, fill);
    if (done) break;
    window_bytes += pass;
    int64_t now_s = static_cast<int64_t>(now_ms / 1000);
    if (now_s - window_start >= 16) {
      int64_t speed = window_bytes / (now_s - window_start);
      window_bytes = 0;
      window_start = now_s;
      if (speed < 1024) {
        QLOG("[WARN] %d - download band=[%ld]", static_cast<long>(speed));
        socket->Close();
        break;
      }
    }
  }
  {
    std::lock_guard<std::mutex> g(lock_buffered_);
    buffered_ = 0;
  }
  {
    // Bytes not written (a failed write) are no longer claimed.
    int64_t written = GetDownloaded();
    std::lock_guard<std::mutex> g(lock_length_);
    claimed_ = written;
  }
  (void)write_failed;
  ReleaseAddressOf();
  length = GetLength();
  downloaded = GetDownloaded();
  int result = length == -1 ? (downloaded > 0 ? 1 : 0) : (downloaded >= length ? 1 : 0);
  QLOG("[INFO] %d - receive data and save to file result=[%d]", result);
  return result;
}

// ---------------------------------------------------------------------------
// CDownloadHttp

std::wstring CDownloadHttp::BuildRangeRequest(int64_t first, int64_t last) {
  std::wstring r = L"GET " + path_ + L" HTTP/1.1\r\n";
  r += L"Accept: */*\r\n";
  if (referer_.empty()) referer_ = UrlFolder(url_);
  r += L"Referer: " + referer_ + L"\r\n";
  r += L"User-Agent: " + user_agent_ + L"\r\n";
  r += L"Host: " + host_;
  if (port_ != 80) r += L":" + std::to_wstring(port_);
  r += L"\r\n";
  r += L"Connection: Close\r\n";
  if (last >= 0) {
    r += L"Range: bytes=" + std::to_wstring(first) + L"-" + std::to_wstring(last) + L"\r\n";
  } else {
    r += L"Range: bytes=" + std::to_wstring(first) + L"-\r\n";
  }
  r += L"\r\n";
  return r;
}

int CDownloadHttp::SendRequest(const std::wstring& request, std::wstring* response, char* body, int* size) {
  socket_.Close();
  if (stop_.IsSet() || !OpenConnection()) {
    QLOG("[ERROR] %d - http download, connect failed!");
    return 0;
  }
  if (!socket_.SendText(request.c_str())) {
    QLOG("[ERROR] %d - http download, send failed!");
    return 0;
  }
  std::string head;
  std::vector<char> chunk(kReceiveChunk);
  size_t blank = std::string::npos;
  for (;;) {
    int n = socket_.Receive(chunk.data(), kReceiveChunk - 1);
    if (n < 1) {
      QLOG("[ERROR] %d - http download, receive failed! size=[%d]", n);
      return 0;
    }
    size_t before = head.size();
    head.append(chunk.data(), static_cast<size_t>(n));
    blank = head.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
    if (blank != std::string::npos) break;
    if (head.size() > 204800) {
      QLOG("[ERROR] %d - http download, receive failed! size=[%d]", static_cast<int>(head.size()));
      return 0;
    }
  }
  if (response) *response = platform::AnsiToWide(std::string_view(head).substr(0, blank + 4));
  if (body && size && *size > 0) {
    size_t from = blank + 4;
    size_t count = std::min(static_cast<size_t>(*size), head.size() - from);
    std::memcpy(body, head.data() + from, count);
    *size = static_cast<int>(count);
  } else if (size) {
    *size = 0;
  }
  QLOG("[INFO] %d - http download, send request end.");
  return 1;
}

int CDownloadHttp::FollowLocation(const std::wstring& response, bool resume_probe) {
  LocationKind kind;
  std::wstring next = ResolveLocation(url_, HeaderValue(response, L"location:"), &kind);
  referer_ = UrlFolder(url_);
  if (next.empty()) return 0;
  if (kind == LocationKind::HostRelative) {
    // Same host and port: only the path changes.
    path_ = next.substr(UrlAuthorityEnd(url_));
    url_ = next;
    return 1;
  }
  url_ = next;
  if (kind == LocationKind::Absolute) redirected_url_ = next;
  std::string text = platform::WideToAnsi(url_);
  if (resume_probe) {
    QLOG("[INFO] %d - resume, redirect url=[%s]", text.c_str());
  } else {
    QLOG("[INFO] %d - redirect url=[%s]", text.c_str());
  }
  std::wstring old_host = host_;
  if (!ReadDownloadUrl(url_, &host_, &port_, &path_)) return 0;
  if (host_ != old_host) ReleaseAddressOf();
  return 1;
}

int CDownloadHttp::ParseRangeResponse(const std::wstring& response, bool* redirect) {
  *redirect = false;
  std::wstring status_line = response.substr(0, response.find(L"\r\n"));
  int code = ParseStatusCode(status_line);
  if (code == 0) {
    QLOG("[ERROR] %d - http download, parse response code=[%d]", code);
    return 0;
  }
  if (code == 416 && index_ == -1 && GetLength() <= 0 &&
      HeaderValue(response, L"content-range:") == L"bytes */0") {
    // The open range from byte 0 of an empty file cannot be satisfied: the
    // file is known to be empty.
    file_size_ = 0;
    size_known_ = true;
    support_resume_ = 1;
    QLOG("[INFO] %d - http download, target file size=[%lld]", 0LL);
    if (owner_ && owner_->IsRunningFlag()) {
      owner_->PostMessage(-1, ns_VDL::kMsgFileName, reinterpret_cast<intptr_t>(new std::wstring(RemoteFileName())));
      owner_->PostMessage(-1, ns_VDL::kMsgFileSize, 0);
    }
    return 1;
  }
  if (code < 200 || code > 399) {
    QLOG("[ERROR] %d - http download, response code=[%d].", code);
    return 0;
  }
  if (code <= 299) {
    if (HeaderValue(response, L"content-type:").find(L"error") != std::wstring::npos) {
      QLOG("[WARN] %d - http download, parse response, is error.");
      return 0;
    }
    if (index_ == -1) {
      std::wstring value = HeaderValue(response, L"content-length:");
      int64_t size = 0;
      for (wchar_t c : value) {
        if (c < L'0' || c > L'9') break;
        if (size > (INT64_MAX - 9) / 10) break;
        size = size * 10 + (c - L'0');
      }
      file_size_ = size;
      size_known_ = !value.empty();
      QLOG("[INFO] %d - http download, target file size=[%lld]", static_cast<long long>(size));
      if (owner_ && owner_->IsRunningFlag()) {
        owner_->PostMessage(-1, ns_VDL::kMsgFileName, reinterpret_cast<intptr_t>(new std::wstring(RemoteFileName())));
        owner_->PostMessage(-1, ns_VDL::kMsgFileSize, static_cast<intptr_t>(size));
      }
    }
    if (LowerAscii(response).find(L"last-modified:") != std::wstring::npos) {
      QLOG("[INFO] %d - http download, last-modified.");
    }
    support_resume_ = code == 206 ? 1 : 0;
    QLOG("[INFO] %d - http download, support resume=[%d].", support_resume_);
    return 1;
  }
  *redirect = true;
  if (!FollowLocation(response, false)) {
    QLOG("[ERROR] %d - http download, parse response redirect failed!");
    return 0;
  }
  return 1;
}

int CDownloadHttp::RequestRange(char* body, int* size) {
  for (int redirects = 0;; ++redirects) {
    if (redirects > kMaxRedirects) {
      QLOG("[ERROR] %d - http download, more than %d redirects.", kMaxRedirects);
      return 0;
    }
    int64_t length = GetLength();
    int64_t done = GetDownloaded();
    requested_ = length > 0 ? length - done : -1;
    std::wstring request = length > 0 ? BuildRangeRequest(start_.load() + done, start_.load() + length - 1)
                                      : BuildRangeRequest(0, -1);
    std::wstring response;
    int got = size ? *size : 0;
    if (!SendRequest(request, &response, body, size ? &got : nullptr)) {
      QLOG("[ERROR] %d - http download, send request failed!");
      return 0;
    }
    bool redirect = false;
    if (!ParseRangeResponse(response, &redirect)) {
      QLOG("[ERROR] %d - http download, parse response failed!");
      return 0;
    }
    if (!redirect) {
      if (size) *size = got;
      return 1;
    }
  }
}

int CDownloadHttp::CheckResumeSupport() {
  QLOG("[INFO] %d - http download, check is support resume.");
  if (support_resume_ == 1) return 1;
  for (int redirects = 0; redirects <= kMaxRedirects; ++redirects) {
    std::wstring response;
    if (!SendRequest(BuildRangeRequest(0, 1), &response, nullptr, nullptr)) {
      QLOG("[ERROR] %d - http download, check is support resume, send request failed!");
      return 0;
    }
    int code = ParseStatusCode(response.substr(0, response.find(L"\r\n")));
    if (code == 0) {
      QLOG("[ERROR] %d - http download, check is support resume, parse response failed!");
      return 0;
    }
    if (code >= 200 && code <= 299) {
      support_resume_ = code == 206 ? 1 : 0;
      return 1;
    }
    if (code >= 300 && code <= 399) {
      if (!FollowLocation(response, true)) {
        QLOG("[ERROR] %d - http download, check is support resume, parse response failed!");
        return 0;
      }
      continue;
    }
    QLOG("[ERROR] %d - resume, response code=[%d].", code);
    return 0;
  }
  QLOG("[ERROR] %d - http download, more than %d redirects.", kMaxRedirects);
  return 0;
}

int CDownloadHttp::GetRemoteInfo() {
  if (!RequestRange(nullptr, nullptr)) {
    QLOG("[ERROR] %d - http download, get remote site info pro, request failed!");
    return 0;
  }
  CheckResumeSupport();
  return 1;
}

int CDownloadHttp::FetchRemoteInfo() {
  stop_.Reset();
  if (!RegisterHost(url_.c_str())) {
    QLOG("[ERROR] %d - get remote site info, init host failed!");
    return 0;
  }
  int result = 0;
  for (int attempt = 0; attempt < 3 && !result; ++attempt) {
    QLOG("[INFO] %d - get remote site info, try=[%d]", attempt);
    result = GetRemoteInfo();
    if (stop_.IsSet()) break;
  }
  QLOG("[INFO] %d - get remote site info, result=[%d]", result);
  ReleaseAddressOf();
  socket_.Close();
  return result;
}

int CDownloadHttp::DownloadOnce() {
  int64_t length = GetLength();
  int64_t done = GetDownloaded();
  QLOG("[INFO] %d - http download: will_download=[%lld], downloaded=[%lld]", static_cast<long long>(length),
       static_cast<long long>(done));
  if (length > 0 && done >= length) {
    QLOG("[INFO] %d - http download done.");
    return 1;
  }
  // Every request opens its own connection (SendRequest), so only the file
  // is prepared here.
  if (!PrepareFile()) return 0;
  std::vector<char> first(kReceiveChunk);
  int size = kReceiveChunk;
  if (!RequestRange(first.data(), &size)) {
    QLOG("[ERROR] %d - http download, request failed! size=[%d]", size);
    return 0;
  }
  return ReceiveToFile(&socket_, first.data(), size);
}

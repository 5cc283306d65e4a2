// Segment workers: one byte range of one remote file, fetched over plain
// HTTP on the worker's own thread and written straight into the shared
// partial file at the range's offsets (pwrite, no shared file position).
//
// CDownloadBase holds the machinery (file, thread, retries, receive loop,
// counters); CDownloadHttp adds the HTTP part (request text, response
// parsing, redirects, the size probe and the resume test). The download
// manager owns one information worker (segment index -1, no thread of its
// own) and an array of range workers.
//
// Lifetime: workers are held through shared pointers and a running worker
// thread keeps its own worker and its owner (the download manager) alive,
// so a thread that overruns its stop limit and is abandoned never touches
// freed memory. Stop() wakes a blocked worker by shutting its socket down.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "download/customize_socket.h"
#include "platform/sync/sync.h"

class CDownloadManager;

// (segment index, downloaded after the write, bytes just written, context)
using DownloadDataCallback = void (*)(int index, int64_t downloaded, int64_t written, void* context);

// The downloader's URL reader: trims, turns "\" into "/", adds "http://"
// when there is no "://", lower-cases the host, escapes blanks and "+" in
// the path and reads an optional port (80 otherwise). Any scheme is taken
// (the connection is always plain HTTP). False without a "/" after the host
// or with a port outside 1..65535.
bool ReadDownloadUrl(const std::wstring& url, std::wstring* host, uint16_t* port, std::wstring* path);

// "base.ext" of the url's path ("%20" -> " ", "%2B" -> "+").
std::wstring RemoteFileNameOfPath(const std::wstring& path);

class CDownloadBase : public std::enable_shared_from_this<CDownloadBase> {
 public:
  static constexpr int kReceiveChunk = 20480;
  static constexpr int kSaveBufferSize = 409600;
  static constexpr int kSaveThreshold = 368640;  // 0x5A000
  static constexpr int kAttempts = 10;
  static constexpr size_t kThreadStack = 8388608;
  static constexpr int kMaxRedirects = 10;

  CDownloadBase();
  virtual ~CDownloadBase();
  CDownloadBase(const CDownloadBase&) = delete;
  CDownloadBase& operator=(const CDownloadBase&) = delete;

  virtual int OpenConnection();
  virtual int StartSegment(int64_t start, int64_t length, int64_t downloaded);
  virtual int GetRemoteInfo() { return 1; }
  virtual int DownloadOnce();
  virtual int ReceiveToFile(CCustomizeSocket* socket, const char* first, int count);

  int SetUrl(const wchar_t* url);
  void Stop();
  void Reset();

  // Counters, each under its own lock.
  int64_t GetDownloaded();
  void SetDownloaded(int64_t value);
  int64_t GetLength();
  void SetLength(int64_t value);  // also posts segment message kind 0
  int32_t GetBuffered();
  // length - (downloaded + received but not yet written)
  int64_t GetRemaining();
  // Cuts the tail off this worker's range for an idle worker, atomically
  // with the receive loop: half the remaining bytes of a running worker
  // (none when fewer than `minimum` remain), all of them otherwise. The
  // amount taken; the length is lowered by it.
  int64_t TakeTail(bool running_donor, int64_t minimum);
  bool IsRunning() const;
  bool HasThread() const {
    std::lock_guard<std::mutex> g(thread_lock_);
    return thread_ != nullptr;
  }
  void CloseThread();  // joins an ended thread and forgets it
  std::unique_ptr<platform::Thread> TakeThread();

  void SetTaskId(int id) { task_id_ = id; }
  void SetIndex(int index) { index_ = index; }
  int index() const { return index_; }
  void SetOwner(CDownloadManager* owner) { owner_ = owner; }
  void SetDataCallback(DownloadDataCallback callback, void* context) {
    callback_ = callback;
    callback_context_ = context;
  }
  void SetFilePath(const std::wstring& path) { file_path_ = path; }
  int result() const { return result_.load(); }
  int support_resume() const { return support_resume_; }
  int64_t file_size() const { return file_size_.load(); }
  // True when the server named the size (a "content-length:" header, or a
  // 416 answer to an open range that gives the size as 0).
  bool size_known() const { return size_known_.load(); }
  void MarkComplete() { result_ = 1; }
  // The server sent more body bytes than the range asked for.
  bool overran() const { return overran_.load(); }
  int64_t start() const { return start_.load(); }
  const std::wstring& url() const { return url_; }
  const std::wstring& redirected_url() const { return redirected_url_; }
  const std::wstring& host() const { return host_; }
  const std::wstring& path() const { return path_; }
  uint16_t port() const { return port_; }
  // Wakes the worker out of a socket wait (any thread).
  void ShutdownSocket() { socket_.Shutdown(); }
  // A thread that ends signals this (the manager's wait for its workers).
  void SetEndSignal(std::shared_ptr<platform::Event> signal) { end_signal_ = std::move(signal); }

 protected:
  void ThreadMain();
  int64_t WriteData(const char* bytes, int64_t n);
  int PrepareFile();
  void ReleaseAddressOf();
  void CloseFile();
  bool Active() const;
  void PostSegment(int type, int64_t value);

  int index_ = -1;
  CDownloadManager* owner_ = nullptr;
  int task_id_ = -1;
  int fd_ = -1;
  platform::Event stop_{true, false};
  CCustomizeSocket socket_;
  std::wstring url_;
  std::wstring redirected_url_;
  std::wstring file_path_;
  DownloadDataCallback callback_ = nullptr;
  void* callback_context_ = nullptr;
  int support_resume_ = 0;
  mutable std::mutex thread_lock_;  // guards thread_ (read by other threads)
  std::unique_ptr<platform::Thread> thread_;
  std::atomic<int64_t> file_size_{-1};
  std::atomic<bool> size_known_{false};
  std::atomic<bool> overran_{false};
  int64_t requested_ = -1;  // bytes the last range request asked for (-1: open end)
  std::atomic<int64_t> start_{0};
  std::mutex lock_length_;
  int64_t length_ = 0;
  int64_t claimed_ = 0;  // downloaded + buffered, under lock A with the length
  std::mutex lock_buffered_;
  int32_t buffered_ = 0;
  std::mutex lock_downloaded_;
  int64_t downloaded_ = 0;
  std::wstring referer_;
  std::wstring user_agent_;
  std::wstring host_;
  std::wstring path_;
  uint16_t port_ = 80;
  std::atomic<int> result_{0};
  uint32_t picked_ip_ = 0;  // the registry address this connection uses
  std::shared_ptr<platform::Event> end_signal_;
};

class CDownloadHttp : public CDownloadBase {
 public:
  CDownloadHttp() = default;

  int GetRemoteInfo() override;
  int DownloadOnce() override;
  int FetchRemoteInfo();

  std::wstring BuildRangeRequest(int64_t first, int64_t last);
  // 1 and `response` set; body bytes after the blank line copied into
  // `body` (at most *size, *size becomes the count) when given.
  int SendRequest(const std::wstring& request, std::wstring* response, char* body, int* size);
  int ParseRangeResponse(const std::wstring& response, bool* redirect);
  int RequestRange(char* body, int* size);
  int CheckResumeSupport();
  std::wstring RemoteFileName() const { return RemoteFileNameOfPath(path_); }

 private:
  // Follows a location: 1 (host, port and path now name the target) or 0.
  int FollowLocation(const std::wstring& response, bool resume_probe);
};

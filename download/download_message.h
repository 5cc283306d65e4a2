// The messages a download manager posts for its task's owner, and the
// observer that receives them.
#pragma once

#include <cstdint>
#include <string>

namespace ns_VDL {

enum DownloadMessageType : int32_t {
  kMsgFileName = 0,    // payload: owned std::wstring* (remote file name)
  kMsgFileSize = 1,    // payload: file size
  kMsgResult = 2,      // payload: result code, 0 success
  kMsgProgress = 3,    // payload: owned ProgressRecord*
  kMsgSegLength = 4,   // payload: a worker's new length
  kMsgSegDownloaded = 5,
  kMsgSegBuffered = 6,
  kMsgStarted = 7,     // no payload
};

struct ProgressRecord {
  int32_t task_id = 0;
  int64_t size = 0;
  int64_t downloaded = 0;
  int32_t speed = 0;
};

// Made by CDownloadManager::PostMessage; owned by whoever receives it, who
// frees it (and its payload) with FreeDownloadMessage.
struct DownloadMessage {
  int32_t segment = -1;  // -1 for task-wide messages
  int32_t task_id = -1;
  int32_t type = 0;
  intptr_t payload = 0;
};

void FreeDownloadMessage(DownloadMessage* message);

class IObserver {
 public:
  virtual void Notify(DownloadMessage* message, intptr_t parameter) = 0;

 protected:
  ~IObserver() = default;
};

}  // namespace ns_VDL

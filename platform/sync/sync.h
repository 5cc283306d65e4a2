// Threads, events and the single-instance lock.
//
// Windows-style events are a mutex and a condition variable. There is no
// forced thread termination: a thread is asked to stop through an event (and
// a blocked socket is woken with shutdown()); a thread that does not end in
// time is detached and must own, through shared pointers, everything it
// still touches.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// The calling thread's system identifier (gettid), as logged.
int CurrentThreadId();

class Event {
 public:
  // manual_reset: stays set until Reset(); otherwise one waiter consumes it.
  explicit Event(bool manual_reset = true, bool initially_set = false);
  void Set();
  void Reset();
  // True when the event was (or became) set within timeout_ms.
  bool Wait(uint32_t timeout_ms = kInfinite);
  bool IsSet() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool manual_;
  bool set_;
};

// A function every Thread runs first on its new thread (e.g. to give it an
// alternate signal stack for the crash filter). Set once at start-up.
void SetThreadStartHook(bool (*hook)());

// A joinable thread started with an explicit stack size.
class Thread {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread();  // detaches a thread that is still running

  // Starts `body` on a new thread with `stack_bytes` of stack (0: default).
  bool Start(std::function<void()> body, size_t stack_bytes = 0);
  // Waits up to timeout_ms for the thread to end; true when it ended (and was joined).
  bool Join(uint32_t timeout_ms = kInfinite);
  // Gives up on the thread: it keeps running on its own.
  void Detach();
  bool Running() const;
  // The started thread's system identifier, 0 before it ran.
  int Id() const;

  struct State;  // shared by the object and the running thread

 private:
  std::shared_ptr<State> state_;
  unsigned long handle_ = 0;  // pthread_t
  bool joinable_ = false;
};

// A named lock held for the life of the process: flock() on a file named
// after `name` in the runtime folder. The kernel drops it when the process
// ends, however it ends.
class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when this process now holds the name; false when another holds it
  // (or the lock file cannot be opened: `error` is then set).
  bool TryClaim(const std::string& name, bool* error = nullptr);
  // The lock file used for `name` (characters other than letters, digits,
  // "-", "_" and "." are replaced by "_").
  static std::string LockFilePath(const std::string& name);

 private:
  int fd_ = -1;
};

}  // namespace platform

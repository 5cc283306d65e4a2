#include "platform/sync/sync.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <pthread.h>
#include <atomic>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/paths/paths.h"

namespace platform {

int CurrentThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }

Event::Event(bool manual_reset, bool initially_set) : manual_(manual_reset), set_(initially_set) {}

void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  if (manual_) cv_.notify_all(); else cv_.notify_one();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool Event::Wait(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeout_ms == kInfinite) {
    cv_.wait(lock, [&] { return set_; });
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return set_; })) {
    return false;
  }
  if (!manual_) set_ = false;
  return true;
}

struct Thread::State {
  std::function<void()> body;
  Event done{true, false};
  std::atomic<int> tid{0};
};

namespace {
std::atomic<bool (*)()> g_start_hook{nullptr};

void* ThreadMain(void* arg) {
  if (auto hook = g_start_hook.load()) hook();
  auto* holder = static_cast<std::shared_ptr<void>*>(arg);
  auto state = std::static_pointer_cast<Thread::State>(*holder);
  delete holder;
  state->tid.store(CurrentThreadId());
  state->body();
  state->body = nullptr;
  state->done.Set();
  return nullptr;
}
}  // namespace

void SetThreadStartHook(bool (*hook)()) { g_start_hook.store(hook); }

Thread::~Thread() {
  if (joinable_) Detach();
}

bool Thread::Start(std::function<void()> body, size_t stack_bytes) {
  if (joinable_) return false;
  state_ = std::make_shared<State>();
  state_->body = std::move(body);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_bytes) pthread_attr_setstacksize(&attr, stack_bytes);
  auto* holder = new std::shared_ptr<void>(state_);
  pthread_t t;
  int rc = pthread_create(&t, &attr, &ThreadMain, holder);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete holder;
    state_.reset();
    return false;
  }
  handle_ = static_cast<unsigned long>(t);
  joinable_ = true;
  return true;
}

bool Thread::Join(uint32_t timeout_ms) {
  if (!joinable_) return true;
  if (!state_->done.Wait(timeout_ms)) return false;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  joinable_ = false;
  return true;
}

void Thread::Detach() {
  if (!joinable_) return;
  pthread_detach(static_cast<pthread_t>(handle_));
  joinable_ = false;
}

bool Thread::Running() const { return state_ && !state_->done.IsSet(); }

int Thread::Id() const { return state_ ? state_->tid.load() : 0; }

InstanceLock::~InstanceLock() {
  // The lock is meant to live until the process ends; a destroyed object
  // still gives it back.
  if (fd_ >= 0) ::close(fd_);
}

std::string InstanceLock::LockFilePath(const std::string& name) {
  std::string safe;
  for (unsigned char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.' || c >= 0x80;
    safe.push_back(ok ? static_cast<char>(c) : '_');
  }
  return RuntimeFolder() + "qiv-" + safe + ".lock";
}

bool InstanceLock::TryClaim(const std::string& name, bool* error) {
  if (error) *error = false;
  if (fd_ >= 0) return true;
  std::string path = LockFilePath(name);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (error) *error = true;
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && error) *error = true;
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

}  // namespace platform

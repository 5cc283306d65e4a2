#include "platform/win/message_queue.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/clock/clock.h"
#include "platform/sync/sync.h"

namespace platform {

namespace {

struct Timer {
  HWND hwnd;
  uintptr_t id;
  uint32_t elapse;
  uint64_t due;
};

struct Queue {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<MSG> posted;
  std::vector<Timer> timers;
  bool quit = false;
  int quit_code = 0;
  ExternalPump pump;
};

struct Window {
  std::shared_ptr<Queue> queue;
  int thread_id;
  std::shared_ptr<WndProc> proc;
};

std::mutex g_mutex;  // guards the two maps below
std::map<HWND, Window> g_windows;
std::map<int, std::shared_ptr<Queue>> g_queues;
HWND g_next_handle = 0x10010;

thread_local std::shared_ptr<Queue> t_queue;

std::shared_ptr<Queue> OwnQueue() {
  if (!t_queue) {
    t_queue = std::make_shared<Queue>();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_queues[CurrentThreadId()] = t_queue;
  }
  return t_queue;
}

void Enqueue(const std::shared_ptr<Queue>& q, const MSG& m) {
  ExternalPump pump;
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    q->posted.push_back(m);
    pump = q->pump;
  }
  q->cv.notify_one();
  if (pump.wake) pump.wake();
}

// A message to send across threads: the receiver handles it and signals.
constexpr uint32_t kCrossThreadSend = 0xFFFF0001u;
struct SendRecord {
  HWND hwnd;
  uint32_t message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result = 0;
  Event done{true, false};
};

}  // namespace

void EnsureMessageQueue() { OwnQueue(); }

HWND CreateWindowHandle(WndProc proc) {
  auto q = OwnQueue();
  std::lock_guard<std::mutex> lock(g_mutex);
  HWND h = g_next_handle;
  g_next_handle += 2;
  if (g_next_handle == 0) g_next_handle = 0x10010;
  g_windows[h] = Window{q, CurrentThreadId(), std::make_shared<WndProc>(std::move(proc))};
  return h;
}

void DestroyWindowHandle(HWND hwnd) {
  std::shared_ptr<Queue> q;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_windows.find(hwnd);
    if (it == g_windows.end()) return;
    q = it->second.queue;
    g_windows.erase(it);
  }
  std::lock_guard<std::mutex> lock(q->mutex);
  std::erase_if(q->timers, [&](const Timer& t) { return t.hwnd == hwnd; });
}

bool IsWindowHandle(HWND hwnd) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_windows.count(hwnd) != 0;
}

bool PostMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Queue> q;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_windows.find(hwnd);
    if (it == g_windows.end()) return false;
    q = it->second.queue;
  }
  Enqueue(q, MSG{hwnd, message, wParam, lParam, TickCount()});
  return true;
}

bool PostThreadMessage(int thread_id, uint32_t message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Queue> q;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_queues.find(thread_id);
    if (it == g_queues.end()) return false;
    q = it->second;
  }
  Enqueue(q, MSG{0, message, wParam, lParam, TickCount()});
  return true;
}

LRESULT SendMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Queue> q;
  std::shared_ptr<WndProc> proc;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_windows.find(hwnd);
    if (it == g_windows.end()) return 0;
    q = it->second.queue;
    proc = it->second.proc;
  }
  if (q == t_queue) return (*proc)(hwnd, message, wParam, lParam);
  auto rec = std::make_shared<SendRecord>();
  rec->hwnd = hwnd;
  rec->message = message;
  rec->wParam = wParam;
  rec->lParam = lParam;
  // The receiver owns a reference through the heap copy until it signals.
  auto* holder = new std::shared_ptr<SendRecord>(rec);
  Enqueue(q, MSG{hwnd, kCrossThreadSend, 0, reinterpret_cast<LPARAM>(holder), TickCount()});
  rec->done.Wait();
  return rec->result;
}

void PostQuitMessage(int exit_code) {
  auto q = OwnQueue();
  ExternalPump pump;
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    q->quit = true;
    q->quit_code = exit_code;
    pump = q->pump;
  }
  q->cv.notify_one();
  if (pump.wake) pump.wake();
}

namespace {

// Takes the next message: posted ones first, then the quit message, then a
// due timer. Returns false when nothing is there; *wait_ms is then the time
// to the next timer (-1: none).
bool TakeNext(Queue& q, MSG* msg, bool remove, int* wait_ms) {
  *wait_ms = -1;
  if (!q.posted.empty()) {
    *msg = q.posted.front();
    if (remove) q.posted.pop_front();
    return true;
  }
  if (q.quit) {
    *msg = MSG{0, WM_QUIT, static_cast<WPARAM>(q.quit_code), 0, TickCount()};
    if (remove) q.quit = false;
    return true;
  }
  uint64_t now = TickCount64();
  Timer* next = nullptr;
  for (auto& t : q.timers) {
    if (!next || t.due < next->due) next = &t;
  }
  if (next) {
    if (next->due <= now) {
      *msg = MSG{next->hwnd, WM_TIMER, next->id, 0, static_cast<uint32_t>(now)};
      if (remove) next->due = now + next->elapse;
      return true;
    }
    *wait_ms = static_cast<int>(next->due - now);
  }
  return false;
}

}  // namespace

int GetMessage(MSG* msg) {
  auto q = OwnQueue();
  for (;;) {
    int wait_ms;
    ExternalPump pump;
    {
      std::unique_lock<std::mutex> lock(q->mutex);
      if (TakeNext(*q, msg, true, &wait_ms)) {
        if (msg->message == kCrossThreadSend) {
          lock.unlock();
          auto* holder = reinterpret_cast<std::shared_ptr<SendRecord>*>(msg->lParam);
          std::shared_ptr<SendRecord> rec = std::move(*holder);
          delete holder;
          rec->result = DispatchMessage(MSG{rec->hwnd, rec->message, rec->wParam, rec->lParam, msg->time});
          rec->done.Set();
          continue;
        }
        return msg->message == WM_QUIT ? 0 : 1;
      }
      pump = q->pump;
      if (!pump.wait) {
        if (wait_ms < 0) q->cv.wait(lock);
        else q->cv.wait_for(lock, std::chrono::milliseconds(wait_ms));
        continue;
      }
    }
    pump.wait(wait_ms);
  }
}

bool PeekMessage(MSG* msg, bool remove) {
  auto q = OwnQueue();
  std::lock_guard<std::mutex> lock(q->mutex);
  int wait_ms;
  return TakeNext(*q, msg, remove, &wait_ms);
}

LRESULT DispatchMessage(const MSG& msg) {
  std::shared_ptr<WndProc> proc;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_windows.find(msg.hwnd);
    if (it == g_windows.end()) return 0;
    proc = it->second.proc;
  }
  return (*proc)(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

uintptr_t SetTimer(HWND hwnd, uintptr_t id, uint32_t elapse_ms) {
  std::shared_ptr<Queue> q;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_windows.find(hwnd);
    if (it == g_windows.end()) return 0;
    q = it->second.queue;
  }
  if (elapse_ms == 0) elapse_ms = 1;
  ExternalPump pump;
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    std::erase_if(q->timers, [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    q->timers.push_back(Timer{hwnd, id, elapse_ms, TickCount64() + elapse_ms});
    pump = q->pump;
  }
  q->cv.notify_one();
  if (pump.wake) pump.wake();
  return id;
}

bool KillTimer(HWND hwnd, uintptr_t id) {
  std::shared_ptr<Queue> q;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_windows.find(hwnd);
    if (it == g_windows.end()) return false;
    q = it->second.queue;
  }
  std::lock_guard<std::mutex> lock(q->mutex);
  size_t before = q->timers.size();
  std::erase_if(q->timers, [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  return q->timers.size() != before;
}

void SetExternalPump(ExternalPump pump) {
  auto q = OwnQueue();
  std::lock_guard<std::mutex> lock(q->mutex);
  q->pump = std::move(pump);
}

}  // namespace platform

// Window handles, message queues and timers.
//
// Every thread that asks for one gets a message queue. A window handle is a
// 32-bit number bound to the queue of the thread that created it and to a
// window procedure. PostMessage works from any thread; GetMessage blocks the
// owning thread until a posted message, a due timer or the quit message is
// there. Message numbers are the Windows ones.
//
// A window-system backend (GTK) plugs in with SetExternalPump: GetMessage
// then lets the backend wait (and turn its own events into posted messages)
// instead of sleeping on the queue's condition variable, and PostMessage
// wakes the backend.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

using HWND = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

constexpr uint32_t WM_NULL = 0x0000;
constexpr uint32_t WM_DESTROY = 0x0002;
constexpr uint32_t WM_CLOSE = 0x0010;
constexpr uint32_t WM_QUIT = 0x0012;
constexpr uint32_t WM_TIMER = 0x0113;
constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_APP = 0x8000;

struct MSG {
  HWND hwnd = 0;
  uint32_t message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  uint32_t time = 0;  // tick count when posted
};

using WndProc = std::function<LRESULT(HWND, uint32_t, WPARAM, LPARAM)>;

// Creates a window handle on the calling thread's queue. Never returns 0.
HWND CreateWindowHandle(WndProc proc);
// Forgets the handle: later posts to it fail, its timers stop.
void DestroyWindowHandle(HWND hwnd);
bool IsWindowHandle(HWND hwnd);

// Queues a message for the handle's thread. False when the handle is unknown.
bool PostMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam);
// Queues a message with no window for the thread `thread_id` (its queue must exist).
bool PostThreadMessage(int thread_id, uint32_t message, WPARAM wParam, LPARAM lParam);
// Calls the window procedure: directly on the owning thread, otherwise by
// posting and waiting for the owning thread to handle it.
LRESULT SendMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam);
// Asks the calling thread's loop to end: GetMessage returns 0 with WM_QUIT
// once the messages posted before have been taken.
void PostQuitMessage(int exit_code);

// Blocks until a message is there. Returns 0 for WM_QUIT (msg->wParam is
// the exit code), otherwise 1.
int GetMessage(MSG* msg);
// Takes (remove) or looks at the next message without waiting.
bool PeekMessage(MSG* msg, bool remove);
// Calls the window procedure of msg->hwnd; 0 when it has none.
LRESULT DispatchMessage(const MSG& msg);

// Starts or restarts a timer: WM_TIMER with wParam = id every `elapse_ms`
// to `hwnd`, generated only when no posted message waits. Returns id, or 0.
uintptr_t SetTimer(HWND hwnd, uintptr_t id, uint32_t elapse_ms);
bool KillTimer(HWND hwnd, uintptr_t id);

// Makes sure the calling thread has a queue (so others can post to it).
void EnsureMessageQueue();

struct ExternalPump {
  // Waits for backend events for at most timeout_ms (-1: without limit),
  // returning early when woken.
  std::function<void(int timeout_ms)> wait;
  // Wakes wait() from any thread.
  std::function<void()> wake;
};
// Installs a backend pump for the calling thread's queue (empty: none).
void SetExternalPump(ExternalPump pump);

}  // namespace platform

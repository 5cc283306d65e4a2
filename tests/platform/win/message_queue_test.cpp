#include "platform/win/message_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/sync/sync.h"

using namespace platform;

namespace {

TEST(MessageQueue, PostedMessagesComeInOrderThenQuit) {
  std::vector<uint32_t> seen;
  HWND h = CreateWindowHandle([&](HWND, uint32_t m, WPARAM w, LPARAM) -> LRESULT {
    seen.push_back(m);
    if (m == WM_CLOSE) PostQuitMessage(static_cast<int>(w));
    return 0;
  });
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(PostMessage(h, WM_USER + 1, 0, 0));
  ASSERT_TRUE(PostMessage(h, WM_CLOSE, 3, 0));
  ASSERT_TRUE(PostMessage(h, WM_USER + 2, 0, 0));  // posted before the quit: still delivered
  MSG msg;
  while (GetMessage(&msg)) DispatchMessage(msg);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(seen, (std::vector<uint32_t>{WM_USER + 1, WM_CLOSE, WM_USER + 2}));
  DestroyWindowHandle(h);
  EXPECT_FALSE(PostMessage(h, WM_USER, 0, 0));
  EXPECT_FALSE(IsWindowHandle(h));
}

TEST(MessageQueue, PostsFromManyThreadsAllArrive) {
  std::atomic<int> count{0};
  HWND h = CreateWindowHandle([&](HWND, uint32_t m, WPARAM, LPARAM) -> LRESULT {
    if (m == WM_APP) ++count;
    return 0;
  });
  constexpr int kThreads = 6, kEach = 2000;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([h] {
      for (int i = 0; i < kEach; ++i) PostMessage(h, WM_APP, 0, 0);
    });
  }
  std::thread closer([&] {
    for (auto& p : posters) p.join();
    PostMessage(h, WM_CLOSE, 0, 0);
  });
  MSG msg;
  while (GetMessage(&msg)) {
    DispatchMessage(msg);
    if (msg.message == WM_CLOSE) PostQuitMessage(0);
  }
  closer.join();
  EXPECT_EQ(count.load(), kThreads * kEach);
  DestroyWindowHandle(h);
}

TEST(MessageQueue, TimersFireRepeatedlyAndStop) {
  int ticks = 0;
  HWND h = 0;
  h = CreateWindowHandle([&](HWND hw, uint32_t m, WPARAM w, LPARAM) -> LRESULT {
    if (m == WM_TIMER && w == 7 && ++ticks == 3) {
      KillTimer(hw, 7);
      PostQuitMessage(0);
    }
    return 0;
  });
  uint64_t start = TickCount64();
  ASSERT_EQ(SetTimer(h, 7, 20), 7u);
  MSG msg;
  while (GetMessage(&msg)) DispatchMessage(msg);
  EXPECT_EQ(ticks, 3);
  EXPECT_GE(TickCount64() - start, 55u);
  EXPECT_FALSE(KillTimer(h, 7));
  EXPECT_FALSE(PeekMessage(&msg, false));
  DestroyWindowHandle(h);
}

TEST(MessageQueue, SendMessageAcrossThreadsRunsOnTheOwner) {
  int owner = CurrentThreadId();
  std::atomic<int> ran_on{0};
  HWND h = CreateWindowHandle([&](HWND, uint32_t m, WPARAM w, LPARAM) -> LRESULT {
    if (m == WM_USER) {
      ran_on = CurrentThreadId();
      return static_cast<LRESULT>(w * 2);
    }
    return 0;
  });
  EXPECT_EQ(SendMessage(h, WM_USER, 4, 0), 8);  // same thread: direct call
  LRESULT remote = 0;
  std::thread other([&] {
    remote = SendMessage(h, WM_USER, 21, 0);
    PostMessage(h, WM_CLOSE, 0, 0);
  });
  MSG msg;
  while (GetMessage(&msg)) {
    DispatchMessage(msg);
    if (msg.message == WM_CLOSE) PostQuitMessage(0);
  }
  other.join();
  EXPECT_EQ(remote, 42);
  EXPECT_EQ(ran_on.load(), owner);
  DestroyWindowHandle(h);
}

TEST(MessageQueue, ThreadMessagesAndExternalPump) {
  int tid = 0;
  Event ready(true, false);
  std::atomic<int> woken{0};
  std::atomic<uint32_t> got{0};
  std::thread loop([&] {
    Event backend(false, false);
    SetExternalPump({[&](int timeout) { backend.Wait(timeout < 0 ? kInfinite : static_cast<uint32_t>(timeout)); },
                     [&] {
                       ++woken;
                       backend.Set();
                     }});
    tid = CurrentThreadId();
    ready.Set();
    MSG msg;
    if (GetMessage(&msg)) got = msg.message;
    SetExternalPump({});
  });
  ready.Wait();
  ASSERT_TRUE(PostThreadMessage(tid, WM_APP + 5, 0, 0));
  loop.join();
  EXPECT_EQ(got.load(), WM_APP + 5);
  EXPECT_GE(woken.load(), 1);
  EXPECT_FALSE(PostThreadMessage(-12345, WM_APP, 0, 0));
}

}  // namespace

#include "platform/sync/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(Event, ManualAndAutoReset) {
  platform::Event manual(true, false);
  EXPECT_FALSE(manual.Wait(10));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));  // stays set
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));

  platform::Event automatic(false, true);
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));  // consumed by the first waiter
}

TEST(Event, WakesAWaiterOnAnotherThread) {
  platform::Event ev(false, false);
  platform::Thread t;
  std::atomic<bool> woke{false};
  ASSERT_TRUE(t.Start([&] { woke = ev.Wait(5000); }));
  ev.Set();
  ASSERT_TRUE(t.Join(5000));
  EXPECT_TRUE(woke);
}

TEST(Thread, StackSizeIdAndJoinTimeout) {
  platform::Thread t;
  size_t stack = 0;
  int tid = 0;
  platform::Event release(true, false);
  ASSERT_TRUE(t.Start(
      [&] {
        pthread_attr_t attr;
        pthread_getattr_np(pthread_self(), &attr);
        pthread_attr_getstacksize(&attr, &stack);
        pthread_attr_destroy(&attr);
        tid = platform::CurrentThreadId();
        release.Wait();
      },
      10 * 1024 * 1024));
  EXPECT_FALSE(t.Join(50));  // still waiting for release
  EXPECT_TRUE(t.Running());
  release.Set();
  ASSERT_TRUE(t.Join(5000));
  EXPECT_GE(stack, 10u * 1024 * 1024);
  EXPECT_NE(tid, platform::CurrentThreadId());
  EXPECT_EQ(t.Id(), tid);
}

TEST(Thread, DetachedThreadKeepsItsStateAlive) {
  auto flag = std::make_shared<std::atomic<int>>(0);
  auto gate = std::make_shared<platform::Event>(true, false);
  {
    platform::Thread t;
    ASSERT_TRUE(t.Start([flag, gate] {
      gate->Wait();
      flag->store(1);
    }));
    EXPECT_FALSE(t.Join(10));
    t.Detach();
  }  // the Thread object is gone; the thread still runs on shared state
  gate->Set();
  for (int i = 0; i < 500 && flag->load() == 0; ++i) usleep(1000);
  EXPECT_EQ(flag->load(), 1);
}

TEST(InstanceLock, OneHolderPerNameAcrossProcesses) {
  setenv("XDG_RUNTIME_DIR", ::testing::TempDir().c_str(), 1);
  std::string name = "Prod A_qiv/" + std::to_string(getpid());
  platform::InstanceLock mine;
  ASSERT_TRUE(mine.TryClaim(name));
  EXPECT_EQ(platform::InstanceLock::LockFilePath(name).find('/', ::testing::TempDir().size()), std::string::npos);

  pid_t child = fork();
  if (child == 0) {
    platform::InstanceLock other, different;
    bool err = false;
    int code = (other.TryClaim(name, &err) ? 1 : 0) | (err ? 2 : 0) | (different.TryClaim(name + "_fork") ? 0 : 4);
    _exit(code);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "held name must be refused without error; another name is free";
}

}  // namespace

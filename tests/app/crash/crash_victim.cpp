// A program that installs the crash handler and then faults on purpose.
//
//   qiv_crash_victim <fault> <where>
//     fault: segv | fpe | ill | abort | terminate | overflow
//     where: main | worker | race (four workers fault at once)
//
// Before faulting it prints "base=", "main_tid=" and "fn=" (the faulting
// function's address) to stderr; the hooks print their names, and the
// before-dump hook prints the faulting thread's id, "closetype" and the crash
// fields as the tracking record reports them, one "key=value" per line.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/crash_handler.h"
#include "platform/sync/sync.h"
#include "platform/text/text.h"
#include "report/track_state.h"

namespace {

void Say(const std::string& line) {
  std::string text = line + "\n";
  ssize_t ignored = write(2, text.data(), text.size());
  (void)ignored;
}

std::string Hex(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

bool FillTrackFields() {
  Say("hook=fill_track_fields");
  return true;
}
void TrackSend() { Say("hook=track_send"); }
void ExitEvent() { Say("hook=exit_event"); }
// Race mode: the first fault lingers here, so the others arrive while it is
// being handled.
std::atomic<bool> g_linger{false};

void BeforeDump() {
  Say("hook=before_dump");
  if (g_linger.load()) usleep(300 * 1000);
  Say("tid=" + std::to_string(platform::CurrentThreadId()));
  Say("closetype=" + platform::WideToUtf8String(TrackState::Get().Field(L"closetype")));
  for (const auto& [key, value] : CrashRecordFields(TrackState::Get().crash())) {
    Say(platform::WideToUtf8String(key) + "=" + platform::WideToUtf8String(value));
  }
}

}  // namespace

// The handler's program side allocates and converts text inside the signal
// handler on purpose (the crash record is worth the risk); ThreadSanitizer
// would report each of those calls.
extern "C" const char* __tsan_default_options() { return "report_signal_unsafe=0"; }

volatile int* volatile g_null = nullptr;
volatile int g_zero = 0;

extern "C" {

__attribute__((noinline, no_sanitize("address", "undefined", "thread"))) void QivFaultNullWrite() { *g_null = 42; }

__attribute__((noinline, no_sanitize("undefined"))) int QivFaultDivide() { return 100 / g_zero; }

__attribute__((noinline)) void QivFaultIllegal() { __builtin_trap(); }

__attribute__((noinline)) void QivFaultAbort() { std::abort(); }

__attribute__((noinline)) void QivFaultTerminate() { throw std::runtime_error("uncaught on purpose"); }

__attribute__((noinline)) int QivFaultRecurse(int depth) {
  volatile char pad[1024];
  pad[depth % 1024] = static_cast<char>(depth);
  if (g_zero == 1) return 0;
  return QivFaultRecurse(depth + 1) + pad[depth % 1024];
}

}  // extern "C"

namespace {

struct Fault {
  const char* name;
  void (*run)();
  const void* fn;
};

void RunDivide() { std::printf("%d\n", QivFaultDivide()); }
void RunRecurse() { std::printf("%d\n", QivFaultRecurse(0)); }

const Fault kFaults[] = {
    {"segv", QivFaultNullWrite, reinterpret_cast<const void*>(&QivFaultNullWrite)},
    {"fpe", RunDivide, reinterpret_cast<const void*>(&QivFaultDivide)},
    {"ill", QivFaultIllegal, reinterpret_cast<const void*>(&QivFaultIllegal)},
    {"abort", QivFaultAbort, reinterpret_cast<const void*>(&QivFaultAbort)},
    {"terminate", QivFaultTerminate, reinterpret_cast<const void*>(&QivFaultTerminate)},
    {"overflow", RunRecurse, reinterpret_cast<const void*>(&QivFaultRecurse)},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    Say("usage: qiv_crash_victim <segv|fpe|ill|abort|terminate|overflow> <main|worker|race>");
    return 2;
  }
  const Fault* fault = nullptr;
  for (const Fault& f : kFaults) {
    if (std::strcmp(argv[1], f.name) == 0) fault = &f;
  }
  std::string where = argv[2];
  if (!fault || (where != "main" && where != "worker" && where != "race")) return 2;

  SetCrashFillTrackFieldsHook(FillTrackFields);
  SetCrashTrackSendHook(TrackSend);
  SetCrashExitEventHook(ExitEvent);
  SetCrashBeforeDumpHook(BeforeDump);
  if (!InstallCrashHandler()) {
    Say("install failed");
    return 3;
  }
  TrackSetInt(L"closetype", 1);

  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&main), &info)) Say("base=" + Hex(info.dli_fbase));
  Say("main_tid=" + std::to_string(platform::CurrentThreadId()));
  Say("fn=" + Hex(fault->fn));

  if (where == "main") {
    fault->run();
    return 0;
  }
  // Workers: a small stack, so that an overflow comes quickly.
  int workers = where == "race" ? 4 : 1;
  g_linger.store(where == "race");
  std::atomic<int> ready{0};
  std::vector<std::unique_ptr<platform::Thread>> threads;
  for (int i = 0; i < workers; ++i) {
    auto thread = std::make_unique<platform::Thread>();
    thread->Start(
        [&ready, fault, workers] {
          PrepareThreadForCrashes();
          Say("worker_tid=" + std::to_string(platform::CurrentThreadId()));
          ready.fetch_add(1);
          while (ready.load() < workers) {
          }
          fault->run();
        },
        512 * 1024);
    threads.push_back(std::move(thread));
  }
  for (auto& t : threads) t->Join();
  return 0;
}

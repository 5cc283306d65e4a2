#include "app/entry.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cwchar>
#include <pthread.h>

#include "app/command_line_args.h"
#include "app/crash_handler.h"
#include "app/load_local_xml.h"
#include "app/qiv_mgr.h"
#include "app/run_config.h"
#include "app/simple_log.h"
#include "platform/process/process.h"
#include "platform/shell/message_box.h"
#include "platform/sync/sync.h"
#include "platform/text/text.h"
#include "platform/win/message_queue.h"
#include "ui/lang_table.h"

namespace {

// Error boxes appear only in normal mode, without owner, captioned "Error".
// Without a display the box is not shown: its text goes to the log and it
// counts as answered with OK.
void ShowError(bool fork, const char* text) {
  if (fork) return;
  bool shown = false;
  platform::MessageBox(0, text, "Error", platform::MB_OK | platform::MB_ICONERROR, &shown);
  if (!shown) QLOG("[WARN] %d - no display for the message box [Error]: %s", text);
}

// SIGTERM, SIGINT and SIGHUP end the program the way closing its window
// does: a close message to the main window, so the loop ends normally.
// They are blocked in every thread and taken by one waiting thread.
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

void StartStopSignalThread(platform::HWND main_window) {
  static platform::Thread thread;
  thread.Start([main_window] {
    sigset_t set = StopSignals();
    int sig = 0;
    while (sigwait(&set, &sig) == 0) {
      QLOG("[INFO] %d - signal %d, closing.", sig);
      platform::PostMessage(main_window, platform::WM_CLOSE, 0, 0);
    }
  });
  thread.Detach();
}

// Parses "HostHwnd": a decimal number that fits in 32 bits; anything else
// (the parent never sends it) is refused.
bool ParseHostHwnd(const std::wstring& text, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    v = v * 10 + static_cast<uint64_t>(c - L'0');
  }
  if (v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int QivMain(int argc, char** argv) {
  platform::InitLocale();
  sigset_t stop = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before any thread starts

  CommandLineArgs args;
  args.ParseArgv(argc, argv);
  const bool fork = args[L"OnlyForkInstallDependent"] == L"1";

  StartProgramLog(fork ? L"qvForkQIV.log" : L"qvQIV.log");
  QLOG("[INFO] %d - start, fork=[%d].", fork ? 1 : 0);

  InstallCrashHandler();

  if (!platform::IsAdministrator()) {
    QLOG("[ERROR] %d - You must be logged in as administrator when installing this program.");
    ShowError(fork, "You must be logged in as administrator when installing this program.");
    return -1;
  }

  QivMgr& mgr = QivMgr::Get();
  mgr.fork = fork;

  if (!LoadLocalXml(mgr)) {
    QLOG("[ERROR] %d - LoadLocalXml failed!");
    ShowError(fork, "Load product xml error.");
    return -1;
  }

  ReadRunConfig(mgr);

  if (fork) {
    const std::wstring& lang = args[L"HostLang"];
    if (!lang.empty()) {
      QLOG("[INFO] %d - set select lang=[%s].", platform::WideToAnsi(lang).c_str());
      mgr.run_config.SelectLang = lang;
    }
    mgr.host.version = args[L"HostVersion"];
    const std::wstring& hwnd = args[L"HostHwnd"];
    if (!hwnd.empty()) {
      uint32_t value = 0;
      if (ParseHostHwnd(hwnd, &value)) {
        QLOG("[INFO] %d - set host hwnd=[%x].", value);
        mgr.host.hwnd = value;
      } else {
        QLOG("[WARN] %d - ignore host hwnd=[%s].", platform::WideToAnsi(hwnd).c_str());
      }
    }
  }

  LangTable lang;
  if (!loadLangXML(lang, mgr.product.ProductBrand)) {
    QLOG("[ERROR] %d - loadLangXML failed!");
    ShowError(fork, "Load lang xml error.");
    return -1;
  }

  // One instance per product and mode. The lock is held until the process
  // ends; the kernel gives it back however the process ends.
  static platform::InstanceLock instance;
  std::string instance_name = platform::WideToUtf8String(mgr.product.ProductName) + "_qiv" + (fork ? "_fork" : "");
  bool lock_error = false;
  if (!instance.TryClaim(instance_name, &lock_error)) {
    if (!lock_error) {
      QLOG("[WARN] %d - Already exist PreInstance.");
      return -1;
    }
    // The lock file cannot be made (no runtime folder): carry on unguarded
    // rather than refuse to install.
    QLOG("[WARN] %d - instance lock [%s] unavailable, err=[%d].",
         platform::InstanceLock::LockFilePath(instance_name).c_str(), errno);
  }

  // Until the main window exists, a message-only window stands for it: a
  // close message ends the loop as the window's exit message will.
  platform::HWND main_window = platform::CreateWindowHandle(
      [](platform::HWND, uint32_t message, platform::WPARAM, platform::LPARAM) -> platform::LRESULT {
        if (message == platform::WM_CLOSE) platform::PostQuitMessage(0);
        return 0;
      });
  StartStopSignalThread(main_window);

  QLOG("[INFO] %d - MessageLoop");
  platform::MSG msg;
  while (platform::GetMessage(&msg)) platform::DispatchMessage(msg);
  QLOG("[INFO] %d - MessageLoop end");
  QLOG("[INFO] %d - exit!");
  return 0;
}

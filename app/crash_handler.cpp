#include "app/crash_handler.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/crash/crash.h"
#include "platform/text/text.h"
#include "platform/sync/sync.h"
#include "report/track_state.h"

namespace {

std::atomic<CrashFillTrackFieldsHook> g_fill_track_fields{nullptr};
std::atomic<CrashHook> g_track_send{nullptr};
std::atomic<CrashHook> g_exit_event{nullptr};
std::atomic<CrashHook> g_before_dump{nullptr};

// "closetype" = 5 under the field lock, tried for a while instead of waited
// for without end.
void SetCloseTypeCrashed() {
  TrackState& track = TrackState::Get();
  std::unique_lock<std::mutex> lock(track.field_lock(), std::defer_lock);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!lock.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  track.fields_locked()[L"closetype"] = std::to_wstring(5);
}

void OnCrash(const platform::crash::CrashReport& report, void*) {
  CrashInfo& info = TrackState::Get().crash();
  info.crashed = 1;
  info.code = report.code;
  info.address = report.address;
  if (report.section_found) {
    info.offset = report.section_offset;
    info.file_name = platform::Utf8ToWideString(report.module_path);
    info.section = platform::AnsiToWide(report.section_name);
  }
  SetCloseTypeCrashed();

  if (CrashFillTrackFieldsHook fill = g_fill_track_fields.load(); fill && fill()) {
    if (CrashHook send = g_track_send.load()) send();
  }
  if (CrashHook event = g_exit_event.load()) event();
  if (CrashHook before = g_before_dump.load()) before();
}

}  // namespace

bool InstallCrashHandler() {
  platform::crash::Options options;
  options.callback = OnCrash;
  if (!platform::crash::Install(options)) return false;
  // Every thread the program starts gets its own alternate signal stack, so
  // that a stack overflow on it is caught too.
  platform::SetThreadStartHook(&platform::crash::InstallThreadAltStack);
  return true;
}

void SetCrashFillTrackFieldsHook(CrashFillTrackFieldsHook hook) { g_fill_track_fields.store(hook); }
void SetCrashTrackSendHook(CrashHook hook) { g_track_send.store(hook); }
void SetCrashExitEventHook(CrashHook hook) { g_exit_event.store(hook); }
void SetCrashBeforeDumpHook(CrashHook hook) { g_before_dump.store(hook); }

bool PrepareThreadForCrashes() { return platform::crash::InstallThreadAltStack(); }

std::vector<std::pair<std::wstring, std::wstring>> CrashRecordFields(const CrashInfo& info) {
  wchar_t attr[16];
  std::swprintf(attr, sizeof attr / sizeof attr[0], L"0x%08X", info.address);
  return {
      {L"crash", info.crashed ? L"1" : L"0"},
      {L"crashcode", std::to_wstring(info.code)},
      {L"crashattr", attr},
      {L"crashoffset", std::to_wstring(info.offset)},
      {L"crashfilename", info.file_name},
      {L"crashsection", info.section},
  };
}

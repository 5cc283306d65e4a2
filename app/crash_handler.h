// The program's unhandled-crash handler: records the crash in the tracking
// collector, lets the later stages report it, and has the platform filter
// write the minidump beside the executable before the process ends.
//
// On a crash, on the faulting thread, once:
//   1. CrashInfo: crashed = 1, the exception code and address (low 32 bits
//      of the faulting instruction); when an executable section of a module
//      holds the address, also the offset within that section, the module's
//      full path and the section's name;
//   2. the field "closetype" = 5;
//   3. the fill-track-fields hook (the orchestrator's FillTrackFields); when
//      it reports at least one task, the track-send hook (TrackSend);
//   4. the exit-event hook (the analytics "exit" event, sent only while
//      analytics runs: the hook decides);
//   5. the before-dump hook (tests and diagnostics);
//   then the dump is written and the process dies by the original signal.
//
// None of this is async-signal-safe (wide strings allocate, the collector
// takes its lock): the crash handler accepts that, as the record is worth
// more than the risk. The collector's field lock is only tried for five
// seconds, so a crash while another thread (or this one) holds it does not
// hang the process.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct CrashInfo;

// Installs the handler (signals, std::terminate, the calling thread's
// alternate stack). Call once at start, on the main thread. False when the
// platform filter could not be installed.
bool InstallCrashHandler();

// Extension points filled in by later work; each may be null (skipped).
// Set them before a crash can happen; they are read on the crashing thread.
using CrashFillTrackFieldsHook = bool (*)();  // true: the task list holds a task
using CrashHook = void (*)();
void SetCrashFillTrackFieldsHook(CrashFillTrackFieldsHook hook);
void SetCrashTrackSendHook(CrashHook hook);
void SetCrashExitEventHook(CrashHook hook);
void SetCrashBeforeDumpHook(CrashHook hook);

// A thread body's first call: gives the thread the alternate signal stack a
// stack overflow needs to be handled.
bool PrepareThreadForCrashes();

// The crash fields as the tracking record reports them, in this order:
// "crash" ("1"/"0"), "crashcode" (decimal), "crashattr" ("0x%08X"),
// "crashoffset" (decimal), "crashfilename", "crashsection".
std::vector<std::pair<std::wstring, std::wstring>> CrashRecordFields(const CrashInfo& info);

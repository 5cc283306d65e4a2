// File helpers of the download engine: files of a given size, splitting and
// cleaning of paths and names, and the stop of a worker thread.
//
// Paths and names are wide text; the path routines work within the
// platform's classic limit of 260 characters and refuse longer parts.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sync/sync.h"

constexpr size_t kMaxPathChars = 260;

// 0 done; 1 creating or positioning the file failed; 2 reserving the size
// failed (the disk is full); 3 empty path. The size is reserved for real
// (posix_fallocate), not left sparse, so a full disk shows here and not in
// the middle of a download. A failure leaves no file behind.
int CreateSizedFile(const std::wstring& path, int64_t size);

// Folder (with its trailing separator) and file name. False when the folder
// part is too long.
bool SplitPath(const std::wstring& path, std::wstring* folder, std::wstring* name);
// Base name and extension (the leading letters and digits after the last
// "."). False when the base name is too long.
bool SplitExtension(const std::wstring& file_name, std::wstring* base, std::wstring* extension);
bool SplitPathName(const std::wstring& path, std::wstring* folder, std::wstring* base, std::wstring* extension);

// With `whole_name`, `text` is one file name and every "\" and "/" becomes
// "_"; otherwise it is a path whose drive, leading and trailing separators
// are kept. In both, ":", "*", "?", '"', "<", ">" and "|" become "_".
std::wstring SanitizePath(const std::wstring& text, bool whole_name);
// Appends `separator` when `folder` does not end in it, then cleans it as a
// path. A result longer than 259 characters leaves `folder` unchanged.
void EnsureTrailingSeparator(std::wstring& folder, wchar_t separator = L'/');

// Waits up to `timeout_ms` for the thread to end. 1 when it ended (or there
// is none); 0 when it was still running and has been abandoned (detached):
// such a thread must own, through shared pointers, everything it still
// touches, and hold no lock while it waits.
int StopThread(platform::Thread* thread, uint32_t timeout_ms);

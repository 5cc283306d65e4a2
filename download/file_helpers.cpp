#include "download/file_helpers.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/simple_log.h"
#include "platform/text/text.h"

namespace {
bool IsFolder(const std::wstring& path) {
  struct stat st {};
  return !path.empty() && ::stat(platform::WideToAnsi(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }
}  // namespace

int CreateSizedFile(const std::wstring& path, int64_t size) {
  if (path.empty()) return 3;
  std::string name = platform::WideToAnsi(path);
  const char* n = name.c_str();
  if (::unlink(n) != 0 && errno != ENOENT) {
    QLOG("[WARN] %d - before create, delete file=[%s], error=[%d].", n, errno);
  }
  int fd = ::open(n, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  int err = fd < 0 ? errno : 0;
  QLOG("[INFO] %d - create file=[%s], hFile=[%d], error=[%d].", n, fd, err);
  if (fd < 0) {
    if (err != EEXIST) {
      ::unlink(n);
      return 1;
    }
    fd = ::open(n, O_WRONLY | O_CLOEXEC);
    QLOG("[INFO] %d - open file=[%s] for write, hFile=[%d], error=[%d].", n, fd, fd < 0 ? errno : 0);
    if (fd < 0) {
      ::unlink(n);
      return 1;
    }
  }
  int result = 0;
  if (size > 0) {
    if (::lseek(fd, static_cast<off_t>(size), SEEK_SET) != static_cast<off_t>(size)) {
      result = 1;
    } else if (::posix_fallocate(fd, 0, static_cast<off_t>(size)) != 0 || ::ftruncate(fd, size) != 0) {
      result = 2;
    }
  }
  ::close(fd);
  if (result != 0) ::unlink(n);
  return result;
}

std::wstring SanitizePath(const std::wstring& text, bool whole_name) {
  std::wstring head, body = text, tail;
  if (whole_name) {
    for (wchar_t& c : body) {
      if (IsSeparator(c)) c = L'_';
    }
  } else {
    if (!body.empty() && IsSeparator(body.back())) {
      tail = body.substr(body.size() - 1);
      body.pop_back();
    }
    if (body.size() >= 2 && IsAsciiLetter(body[0]) && body[1] == L':') {
      head = body.substr(0, 2);
      body.erase(0, 2);
    }
    if (!body.empty() && IsSeparator(body[0])) {
      head += body[0];
      body.erase(0, 1);
    }
  }
  for (wchar_t& c : body) {
    if (c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|') c = L'_';
  }
  return head + body + tail;
}

void EnsureTrailingSeparator(std::wstring& folder, wchar_t separator) {
  std::wstring result = folder;
  if (result.empty() || result.back() != separator) result += separator;
  result = SanitizePath(result, false);
  if (result.size() >= kMaxPathChars) return;
  folder = result;
}

bool SplitPath(const std::wstring& path, std::wstring* folder, std::wstring* name) {
  wchar_t sep = path.find(L'/') != std::wstring::npos ? L'/' : L'\\';
  std::wstring f, n;
  if (IsFolder(path)) {
    f = path;
    if (f.empty() || f.back() != sep) f += sep;
    f = SanitizePath(f, false);
  } else {
    size_t last = path.rfind(sep);
    if (last == std::wstring::npos) {
      n = path;
    } else {
      f = path.substr(0, last + 1);
      n = path.substr(last + 1);
    }
  }
  if (f.size() >= kMaxPathChars) return false;
  if (folder) *folder = f;
  if (name) *name = n;
  return true;
}

bool SplitExtension(const std::wstring& file_name, std::wstring* base, std::wstring* extension) {
  size_t dot = file_name.rfind(L'.');
  std::wstring b = file_name, e;
  if (dot != std::wstring::npos) {
    b = file_name.substr(0, dot);
    for (size_t i = dot + 1; i < file_name.size() && e.size() < 255; ++i) {
      wchar_t c = file_name[i];
      if (!(IsAsciiLetter(c) || (c >= L'0' && c <= L'9'))) break;
      e += c;
    }
  }
  if (b.size() >= kMaxPathChars) return false;
  if (base) *base = b;
  if (extension) *extension = e;
  return true;
}

bool SplitPathName(const std::wstring& path, std::wstring* folder, std::wstring* base, std::wstring* extension) {
  std::wstring name;
  if (!SplitPath(path, folder, &name)) return false;
  return SplitExtension(name, base, extension);
}

int StopThread(platform::Thread* thread, uint32_t timeout_ms) {
  if (!thread) return 1;
  if (thread->Join(timeout_ms)) return 1;
  thread->Detach();
  return 0;
}

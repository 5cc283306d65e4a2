#include "platform/process/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/clock/clock.h"

extern char** environ;

namespace platform {

std::vector<std::string> SplitCommandLine(const std::string& text, bool first_is_program) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = text.size();
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (i < n && blank(text[i])) ++i;
  if (first_is_program && i < n) {
    std::string prog;
    if (text[i] == '"') {
      ++i;
      while (i < n && text[i] != '"') prog.push_back(text[i++]);
      if (i < n) ++i;  // closing quote
    } else {
      while (i < n && !blank(text[i])) prog.push_back(text[i++]);
    }
    args.push_back(prog);
  }
  while (true) {
    while (i < n && blank(text[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      char c = text[i];
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && text[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && text[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            arg.push_back('"');
            ++i;
          }
          // even: the quote is handled by the next pass
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && text[i + 1] == '"') {
          arg.push_back('"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && blank(c)) break;
      arg.push_back(c);
      ++i;
    }
    args.push_back(arg);
  }
  return args;
}

std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    if (c == '"') {
      out.append(slashes * 2 + 1, '\\');
    } else {
      out.append(slashes, '\\');
    }
    slashes = 0;
    out.push_back(c);
  }
  out.append(slashes * 2, '\\');
  out.push_back('"');
  return out;
}

Process::~Process() {
  // A process that is still running keeps running; only our handle goes.
  if (pidfd_ >= 0) ::close(pidfd_);
}

Process::Process(Process&& other) noexcept { *this = std::move(other); }

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    if (pidfd_ >= 0) ::close(pidfd_);
    pid_ = other.pid_;
    pidfd_ = other.pidfd_;
    ended_ = other.ended_;
    terminated_ = other.terminated_;
    exit_code_ = other.exit_code_;
    error_ = other.error_;
    other.pid_ = -1;
    other.pidfd_ = -1;
  }
  return *this;
}

void Process::Reset() {
  if (pidfd_ >= 0) ::close(pidfd_);
  pid_ = -1;
  pidfd_ = -1;
  ended_ = false;
  terminated_ = false;
  exit_code_ = 0;
  error_ = 0;
}

bool Process::Start(const std::vector<std::string>& argv, const SpawnOptions& options) {
  Reset();
  if (argv.empty() || argv[0].empty()) {
    error_ = ENOENT;
    return false;
  }
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);

  std::vector<std::string> env_store;
  for (char** e = environ; e && *e; ++e) env_store.emplace_back(*e);
  for (const auto& extra : options.extra_env) {
    std::string name = extra.substr(0, extra.find('=') + 1);
    std::erase_if(env_store, [&](const std::string& s) { return s.compare(0, name.size(), name) == 0; });
    env_store.push_back(extra);
  }
  std::vector<char*> cenv;
  for (auto& e : env_store) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.hidden) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  if (!options.working_folder.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.working_folder.c_str());
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int rc = argv[0].find('/') == std::string::npos
               ? posix_spawnp(&pid, argv[0].c_str(), &actions, &attr, cargv.data(), cenv.data())
               : posix_spawn(&pid, argv[0].c_str(), &actions, &attr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    error_ = rc;
    return false;
  }
  pid_ = pid;
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  return true;
}

bool Process::StartCommandLine(const std::string& command_line, const SpawnOptions& options) {
  return Start(SplitCommandLine(command_line, true), options);
}

bool Process::Wait(uint32_t timeout_ms) {
  if (pid_ <= 0) return true;
  if (ended_) return true;
  uint64_t deadline = TickCount64() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      ended_ = true;
      if (terminated_) exit_code_ = -1;
      else if (WIFEXITED(status)) exit_code_ = WEXITSTATUS(status);
      else if (WIFSIGNALED(status)) exit_code_ = 128 + WTERMSIG(status);
      return true;
    }
    if (r < 0 && errno != EINTR) {
      // Not our child any more (reaped elsewhere): count it as ended.
      ended_ = true;
      exit_code_ = -1;
      return true;
    }
    uint64_t now = TickCount64();
    if (timeout_ms != 0xFFFFFFFFu && now >= deadline) return false;
    int wait_ms = timeout_ms == 0xFFFFFFFFu ? -1 : static_cast<int>(deadline - now);
    if (pidfd_ >= 0) {
      pollfd p{pidfd_, POLLIN, 0};
      ::poll(&p, 1, wait_ms);
    } else {
      ::usleep(static_cast<useconds_t>(std::min(wait_ms < 0 ? 10 : wait_ms, 10)) * 1000);
    }
  }
}

void Process::Terminate() {
  if (pid_ <= 0 || ended_) return;
  terminated_ = true;
  ::kill(pid_, SIGKILL);
  Wait(0xFFFFFFFFu);
  exit_code_ = -1;
}

bool IsAdministrator() { return ::geteuid() == 0; }

}  // namespace platform

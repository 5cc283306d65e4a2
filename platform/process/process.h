// Starting and waiting for other processes, and the administrator check.
//
// A command line is one text split into arguments with the Windows rules
// (blanks separate, double quotes group, backslashes escape only before a
// quote) and started with posix_spawn, never through a shell.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// Splits a command-line text into arguments:
//  - blanks and tabs outside quotes separate arguments;
//  - a double quote toggles quoting; inside quotes, two double quotes in a
//    row give one literal quote and quoting goes on;
//  - 2n backslashes before a quote give n backslashes and the quote acts;
//    2n+1 backslashes before a quote give n backslashes and a literal quote;
//    backslashes not before a quote are literal.
// With first_is_program the first argument follows the program-name rule:
// it runs to the next blank, or is the quoted text, without escapes.
std::vector<std::string> SplitCommandLine(const std::string& text, bool first_is_program = true);

// Quotes one argument so that SplitCommandLine gives it back unchanged.
std::string QuoteArgument(const std::string& arg);

struct SpawnOptions {
  bool hidden = true;             // stdin, stdout and stderr on /dev/null
  std::string working_folder;     // empty: inherit
  std::vector<std::string> extra_env;  // "NAME=value" entries added to the environment
};

class Process {
 public:
  Process() = default;
  ~Process();
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts argv[0] (searched on PATH when it has no "/"). False on failure,
  // with errno-style code in error().
  bool Start(const std::vector<std::string>& argv, const SpawnOptions& options = {});
  // Splits `command_line` and starts it.
  bool StartCommandLine(const std::string& command_line, const SpawnOptions& options = {});

  // Waits up to timeout_ms (0xFFFFFFFF: no limit). True when the process
  // ended; its exit code is then exit_code(): the status it returned,
  // 128 + signal after a signal, -1 after Terminate().
  bool Wait(uint32_t timeout_ms);
  // Ends the process with SIGKILL and reaps it; its exit code becomes -1.
  void Terminate();

  pid_t pid() const { return pid_; }
  int exit_code() const { return exit_code_; }
  bool running() const { return pid_ > 0 && !ended_; }
  int error() const { return error_; }

 private:
  void Reset();
  pid_t pid_ = -1;
  int pidfd_ = -1;
  bool ended_ = false;
  bool terminated_ = false;
  int exit_code_ = 0;
  int error_ = 0;
};

// Member of the administrators: effective uid 0.
bool IsAdministrator();

}  // namespace platform

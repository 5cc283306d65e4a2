#include "app/command_line_args.h"

#include "platform/process/process.h"
#include "platform/text/text.h"

void CommandLineArgs::Add(const std::wstring& argument) {
  size_t eq = argument.find(L'=');
  if (eq == std::wstring::npos) {
    values_[argument] = std::wstring();
  } else {
    values_[argument.substr(0, eq)] = argument.substr(eq + 1);
  }
}

void CommandLineArgs::ParseArgv(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i]) Add(platform::AnsiToWide(argv[i]));
  }
}

void CommandLineArgs::ParseText(const std::wstring& text) {
  for (const auto& arg : platform::SplitCommandLine(platform::WideToUtf8String(text), false)) {
    Add(platform::Utf8ToWideString(arg));
  }
}

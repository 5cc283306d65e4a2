// The program's switches: each argument "Name=Value" (or a bare "Name") is
// one entry; the name runs to the first "=", the value is everything after
// it. A later switch replaces an earlier one of the same name. Names compare
// case-sensitively, and looking up an absent name adds it with an empty value.
#pragma once

#include <map>
#include <string>
#include <vector>

class CommandLineArgs {
 public:
  // argv[0] (the program) is skipped; the others are in the locale charset.
  void ParseArgv(int argc, const char* const* argv);
  // One command-line text after the program name, split with the Windows rules.
  void ParseText(const std::wstring& text);
  void Add(const std::wstring& argument);

  std::wstring& operator[](const std::wstring& name) { return values_[name]; }
  const std::map<std::wstring, std::wstring>& values() const { return values_; }

 private:
  std::map<std::wstring, std::wstring> values_;
};

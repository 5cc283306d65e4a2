// Starts the program log in a scratch temporary folder once per test
// process and reads back what was written since a mark.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/simple_log.h"

class LogCapture {
 public:
  static LogCapture& Get() {
    static LogCapture capture;
    return capture;
  }
  // Everything logged since the last call.
  std::string Take() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string all = ss.str();
    std::string fresh = all.substr(std::min(offset_, all.size()));
    offset_ = all.size();
    return fresh;
  }
  const std::string& folder() const { return folder_; }

 private:
  LogCapture() {
    folder_ = (std::filesystem::temp_directory_path() / ("qiv-startup-" + std::to_string(getpid()))).string() + "/";
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    setenv("TMPDIR", folder_.c_str(), 1);
    StartProgramLog(L"qvQIV.log");
    path_ = folder_ + "qvQIV.log";
  }
  std::string folder_;
  std::string path_;
  size_t offset_ = 0;
};

// Fixture for the checker tests: copies of env_probe stamped with checker
// programs, run against a scratch machine.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/process/process.h"
#include "scratch_machine.h"

class Checker : public ScratchMachine {
 protected:
  void SetUp() override {
    ScratchMachine::SetUp();
    std::filesystem::create_directories(root_ / "work");
    folder_ = (root_ / "work").string() + "/";
  }

  std::string WriteFile(const std::string& name, const std::string& text) {
    std::string path = (root_ / name).string();
    std::ofstream(path) << text;
    return path;
  }

  // A copy of env_probe stamped with the given resources ("TYPE:ID:path").
  std::string StampedProbe(const std::vector<std::string>& specs) {
    std::string copy = (root_ / ("probe" + std::to_string(++copies_))).string();
    std::filesystem::copy_file(ENV_PROBE, copy);
    if (specs.empty()) return copy;
    std::vector<std::string> argv = {QIV_RES, "stamp", copy};
    argv.insert(argv.end(), specs.begin(), specs.end());
    platform::Process p;
    EXPECT_TRUE(p.Start(argv));
    EXPECT_TRUE(p.Wait(60000));
    EXPECT_EQ(p.exit_code(), 0);
    return copy;
  }

  std::string CheckerProbe(const std::string& checker_script) {
    return StampedProbe({"EXE:105:" + WriteFile("checker", checker_script),
                         "XML:109:" + WriteFile("checker.config", "<configuration marker=\"m1\"/>\n")});
  }

  // Runs the probe's IsDotNetReady; 10 true, 11 false.
  int Ready(const std::string& probe, const std::string& required, const std::string& timeout,
            bool old = false) {
    std::vector<std::string> argv = {probe, "dotnet", required, folder_, timeout};
    if (old) argv.push_back("old");
    platform::Process p;
    EXPECT_TRUE(p.Start(argv));
    EXPECT_TRUE(p.Wait(120000));
    return p.exit_code();
  }

  void ExpectConfigFolderClean() {
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_), std::filesystem::directory_iterator()), 0)
        << "left behind in " << folder_;
  }

  std::string folder_;
  int copies_ = 0;
};

// Succeeds only when its config sits beside it with the stamped text and it
// was made executable.
inline const char kGoodChecker[] =
    "#!/bin/sh\n"
    "grep -q 'marker=\"m1\"' \"$0.config\" || exit 4\n"
    "test -x \"$0\" || exit 5\n"
    "exit 0\n";
inline const char kFailingChecker[] = "#!/bin/sh\nexit 1\n";
inline const char kHangingChecker[] = "#!/bin/sh\nexec sleep 60\n";


// The checker run with the real time limit of 20 seconds.
#include <gtest/gtest.h>

#include <chrono>

#include "app/dotnet_check.h"
#include "checker_fixture.h"

using platform::Hive;
using platform::View;

namespace {

TEST_F(Checker, TheRealTimeLimitIs20Seconds) {
  Key(Hive::LocalMachine, L"Software\\Microsoft\\NET Framework Setup\\NDP\\v2.0.50727", View::Wow64_32)
      .SetDword(L"Install", 1);
  const std::string hanging = CheckerProbe(kHangingChecker);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Ready(hanging, "2.0", "default"), 11);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(19900));
  EXPECT_LT(elapsed, std::chrono::seconds(30));
  ExpectConfigFolderClean();
}

}  // namespace

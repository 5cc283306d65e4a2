// A scratch machine for the probe tests: its own sysroot (machine registry
// hive, program files), config folder (user hive) and home (desktop), so no
// test ever reads or writes the real machine's state.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/env_probes.h"
#include "platform/registry/registry.h"

class ScratchMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/qiv-env-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    std::filesystem::create_directories(root_ / "home");
    setenv("QIV_SYSROOT", (root_ / "sys").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    setenv("HOME", (root_ / "home").c_str(), 1);
    unsetenv("XDG_DESKTOP_DIR");
    for (const char* v : {"PROCESSOR_ARCHITEW6432", "ProgramFiles", "ProgramFiles(x86)"}) unsetenv(v);
    platform::CloseAllHives();
    SetIs64BitWindowsForTesting(1);
    SetIsVistaOrLaterForTesting(-1);
  }
  void TearDown() override {
    platform::CloseAllHives();
    SetIs64BitWindowsForTesting(-1);
    SetIsVistaOrLaterForTesting(-1);
    unsetenv("QIV_SYSROOT");
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(root_);
  }

  // Creates the key (and parents) and returns it open.
  static platform::RegKey Key(platform::Hive hive, const std::wstring& path,
                              platform::View view = platform::View::Default) {
    platform::RegKey key;
    EXPECT_EQ(key.Create(hive, path, view), platform::RegStatus::Ok) << platform::RegLastErrorText();
    return key;
  }
  // A text value, or "<none>" when the key or value is missing or not text.
  static std::wstring Text(platform::Hive hive, const std::wstring& path, const std::wstring& name,
                           platform::View view = platform::View::Default) {
    platform::RegKey key;
    if (key.Open(hive, path, view) != platform::RegStatus::Ok) return L"<none>";
    return key.GetString(name).value_or(L"<none>");
  }
  static bool KeyExists(platform::Hive hive, const std::wstring& path,
                        platform::View view = platform::View::Default) {
    platform::RegKey key;
    return key.Open(hive, path, view) == platform::RegStatus::Ok;
  }

  std::filesystem::path root_;
};

#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using platform::Hive;
using platform::RegKey;
using platform::RegStatus;
using platform::RegType;
using platform::View;

namespace {

// Every test runs on a scratch machine: its own sysroot and config folder.
class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qiv-registry-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    setenv("QIV_SYSROOT", (root_ / "sys").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    platform::CloseAllHives();
  }
  void TearDown() override {
    platform::CloseAllHives();
    unsetenv("QIV_SYSROOT");
    unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(root_);
  }
  fs::path root_;
};

std::vector<std::wstring> Names(const std::vector<platform::RegValueInfo>& values) {
  std::vector<std::wstring> n;
  for (const auto& v : values) n.push_back(v.name);
  return n;
}

TEST_F(Registry, HivesLiveWhereTheMachineSaysAndPlainOpensCreateNothing) {
  EXPECT_EQ(platform::HivePath(Hive::LocalMachine), (root_ / "sys/var/lib/qiv/machine.db").string());
  EXPECT_EQ(platform::HivePath(Hive::CurrentUser), (root_ / "config/qiv/user.db").string());

  RegKey key;
  EXPECT_EQ(key.Open(Hive::LocalMachine, L"Software\\Brand"), RegStatus::NotFound);
  EXPECT_EQ(platform::RegLastError(), RegStatus::NotFound);
  EXPECT_FALSE(platform::RegLastErrorText().empty());
  EXPECT_FALSE(fs::exists(root_ / "sys/var/lib/qiv/machine.db"));

  ASSERT_EQ(key.Create(Hive::LocalMachine, L"Software\\Brand"), RegStatus::Ok);
  EXPECT_TRUE(fs::exists(root_ / "sys/var/lib/qiv/machine.db"));
  EXPECT_FALSE(fs::exists(root_ / "config/qiv/user.db"));
  ASSERT_EQ(key.SetDword(L"PID", 7), RegStatus::Ok);

  // The user hive is another file: the same path there is missing.
  RegKey user;
  EXPECT_EQ(user.Open(Hive::CurrentUser, L"Software\\Brand"), RegStatus::NotFound);
  ASSERT_EQ(user.Create(Hive::CurrentUser, L"Software\\Brand"), RegStatus::Ok);
  EXPECT_FALSE(user.GetDword(L"PID").has_value());
  EXPECT_TRUE(fs::exists(root_ / "config/qiv/user.db"));
}

TEST_F(Registry, ValuesTypesAndDefaultValue) {
  RegKey key;
  bool created = false;
  ASSERT_EQ(key.Create(Hive::CurrentUser, L"Software\\Brand\\Brand Corvelin\\", View::Default, &created),
            RegStatus::Ok);
  EXPECT_TRUE(created);
  RegKey again;
  ASSERT_EQ(again.Create(Hive::CurrentUser, L"Software\\Brand\\Brand Corvelin", View::Default, &created),
            RegStatus::Ok);
  EXPECT_FALSE(created);

  const std::wstring sign = L"{0f3a9c1e-7b2d-4e8f-9a1b-2c3d4e5f6a7bG}";
  const std::wstring intl = L"Gr\u00FC\u00DFe \u4F60\u597D \U0001F600";
  ASSERT_EQ(key.SetString(L"ClientSign", sign), RegStatus::Ok);
  ASSERT_EQ(key.SetString(L"", L"default text"), RegStatus::Ok);
  ASSERT_EQ(key.SetString(L"Intl", intl), RegStatus::Ok);
  ASSERT_EQ(key.SetString(L"Empty", L""), RegStatus::Ok);
  ASSERT_EQ(key.SetDword(L"Max", 0xFFFFFFFFu), RegStatus::Ok);

  EXPECT_EQ(again.GetString(L"ClientSign"), sign);
  EXPECT_EQ(again.GetString(L""), L"default text");
  EXPECT_EQ(again.GetString(L"Intl"), intl);
  EXPECT_EQ(again.GetString(L"Empty"), L"");
  EXPECT_EQ(again.GetDword(L"Max"), 0xFFFFFFFFu);
  EXPECT_EQ(again.GetType(L"Max"), RegType::Dword);
  EXPECT_EQ(again.GetType(L"Intl"), RegType::String);

  // The wrong type reads as absent.
  EXPECT_EQ(again.GetDword(L"ClientSign"), std::nullopt);
  EXPECT_EQ(platform::RegLastError(), RegStatus::NotFound);
  EXPECT_EQ(again.GetString(L"Max"), std::nullopt);
  EXPECT_EQ(again.GetString(L"Missing"), std::nullopt);
  EXPECT_EQ(platform::RegLastError(), RegStatus::NotFound);

  // A write replaces the value whatever its type.
  ASSERT_EQ(key.SetDword(L"ClientSign", 5), RegStatus::Ok);
  EXPECT_EQ(again.GetDword(L"ClientSign"), 5u);
  EXPECT_EQ(again.GetString(L"ClientSign"), std::nullopt);

  EXPECT_EQ(key.DeleteValue(L"ClientSign"), RegStatus::Ok);
  EXPECT_EQ(key.DeleteValue(L"ClientSign"), RegStatus::NotFound);
  EXPECT_EQ(again.GetType(L"ClientSign"), std::nullopt);

  RegKey closed;
  EXPECT_EQ(closed.SetDword(L"x", 1), RegStatus::InvalidHandle);
  EXPECT_EQ(closed.GetDword(L"x"), std::nullopt);
  EXPECT_EQ(platform::RegLastError(), RegStatus::InvalidHandle);
}

TEST_F(Registry, NamesCompareWithoutCaseAndKeepTheirCase) {
  RegKey key;
  ASSERT_EQ(key.Create(Hive::LocalMachine, L"Software\\KfeCX"), RegStatus::Ok);
  ASSERT_EQ(key.SetString(L"AppOne", L"ch1"), RegStatus::Ok);
  ASSERT_EQ(key.SetString(L"\u00C4rger", L"umlaut"), RegStatus::Ok);

  RegKey other;
  ASSERT_EQ(other.Open(Hive::LocalMachine, L"SOFTWARE\\kfecx\\"), RegStatus::Ok);
  EXPECT_EQ(other.GetString(L"APPONE"), L"ch1");
  EXPECT_EQ(other.GetString(L"\u00E4RGER"), L"umlaut");
  // Writing under another case keeps the first name.
  ASSERT_EQ(other.SetString(L"appone", L"ch2"), RegStatus::Ok);
  EXPECT_EQ(Names(key.EnumValues()), (std::vector<std::wstring>{L"AppOne", L"\u00C4rger"}));
  EXPECT_EQ(key.GetString(L"AppOne"), L"ch2");

  // Creating a key under another case opens the existing one.
  bool created = true;
  RegKey sub;
  ASSERT_EQ(sub.Create(Hive::LocalMachine, L"software\\KFECX\\Child", View::Default, &created), RegStatus::Ok);
  EXPECT_TRUE(created);
  ASSERT_EQ(sub.Create(Hive::LocalMachine, L"SOFTWARE\\KfeCX\\CHILD", View::Default, &created), RegStatus::Ok);
  EXPECT_FALSE(created);
  RegKey software;
  ASSERT_EQ(software.Open(Hive::LocalMachine, L"Software"), RegStatus::Ok);
  EXPECT_EQ(software.EnumSubKeys(), std::vector<std::wstring>{L"KfeCX"});
  EXPECT_EQ(key.EnumSubKeys(), std::vector<std::wstring>{L"Child"});
}

TEST_F(Registry, ViewsAreSeparateTreesAndDefaultIs64Bit) {
  RegKey k32, k64, kdef;
  ASSERT_EQ(k32.Create(Hive::LocalMachine, L"Software\\Quorvane\\Quorvane Vantor", View::Wow64_32), RegStatus::Ok);
  ASSERT_EQ(k32.SetString(L"InstallName", L"/opt/32/q"), RegStatus::Ok);

  EXPECT_EQ(k64.Open(Hive::LocalMachine, L"Software\\Quorvane\\Quorvane Vantor", View::Wow64_64),
            RegStatus::NotFound);
  EXPECT_EQ(kdef.Open(Hive::LocalMachine, L"Software\\Quorvane\\Quorvane Vantor"), RegStatus::NotFound);

  ASSERT_EQ(k64.Create(Hive::LocalMachine, L"Software\\Quorvane\\Quorvane Vantor", View::Wow64_64), RegStatus::Ok);
  ASSERT_EQ(k64.SetString(L"InstallName", L"/opt/64/q"), RegStatus::Ok);
  ASSERT_EQ(kdef.Open(Hive::LocalMachine, L"Software\\Quorvane\\Quorvane Vantor"), RegStatus::Ok);
  EXPECT_EQ(kdef.GetString(L"InstallName"), L"/opt/64/q");
  EXPECT_EQ(k32.GetString(L"InstallName"), L"/opt/32/q");

  EXPECT_EQ(RegKey::DeleteKey(Hive::LocalMachine, L"Software\\Quorvane", View::Wow64_32), RegStatus::Ok);
  EXPECT_EQ(kdef.GetString(L"InstallName"), L"/opt/64/q");
}

TEST_F(Registry, EnumerationAndDeletingTrees) {
  RegKey ndp;
  ASSERT_EQ(ndp.Create(Hive::LocalMachine, L"Software\\Microsoft\\NET Framework Setup\\NDP"), RegStatus::Ok);
  for (const wchar_t* sub : {L"v4\\Full", L"v2.0.50727", L"v3.5", L"v4\\Client"}) {
    RegKey k;
    ASSERT_EQ(k.Create(Hive::LocalMachine, std::wstring(L"Software\\Microsoft\\NET Framework Setup\\NDP\\") + sub),
              RegStatus::Ok);
    ASSERT_EQ(k.SetDword(L"Install", 1), RegStatus::Ok);
    ASSERT_EQ(k.SetString(L"Version", L"4.8.09032"), RegStatus::Ok);
  }
  EXPECT_EQ(ndp.EnumSubKeys(), (std::vector<std::wstring>{L"v2.0.50727", L"v3.5", L"v4"}));
  RegKey full;
  ASSERT_EQ(full.Open(Hive::LocalMachine, L"Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full"),
            RegStatus::Ok);
  std::vector<platform::RegValueInfo> values;
  ASSERT_EQ(full.EnumValues(values), RegStatus::Ok);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, L"Install");
  EXPECT_EQ(values[0].type, RegType::Dword);
  EXPECT_EQ(values[1].name, L"Version");
  EXPECT_EQ(values[1].type, RegType::String);

  // Deleting a key takes its sub-keys along; a handle to a deleted key says
  // so, even after a key of the same name is made again.
  EXPECT_EQ(ndp.DeleteSubKey(L"v4"), RegStatus::Ok);
  EXPECT_EQ(full.GetDword(L"Install"), std::nullopt);
  EXPECT_EQ(platform::RegLastError(), RegStatus::KeyDeleted);
  RegKey remade;
  ASSERT_EQ(remade.Create(Hive::LocalMachine, L"Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full"),
            RegStatus::Ok);
  EXPECT_EQ(full.SetDword(L"Install", 1), RegStatus::KeyDeleted);
  EXPECT_EQ(remade.EnumValues().size(), 0u);

  EXPECT_EQ(RegKey::DeleteKey(Hive::LocalMachine, L"Software\\Microsoft"), RegStatus::Ok);
  EXPECT_EQ(RegKey::DeleteKey(Hive::LocalMachine, L"Software\\Microsoft"), RegStatus::NotFound);
  EXPECT_EQ(RegKey::DeleteKey(Hive::LocalMachine, L"\\"), RegStatus::InvalidParameter);
  EXPECT_EQ(ndp.EnumSubKeys(), std::vector<std::wstring>{});
  EXPECT_EQ(platform::RegLastError(), RegStatus::KeyDeleted);

  // Nothing is left behind in the file: values went with their keys.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(platform::HivePath(Hive::LocalMachine).c_str(), &db), SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT (SELECT count(*) FROM keys), (SELECT count(*) FROM vals)", -1, &st,
                               nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(st, 0), 3);  // two roots and "Software"
  EXPECT_EQ(sqlite3_column_int(st, 1), 0);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

TEST_F(Registry, UpdateStringKeepsTheFirstDefaultChannel) {
  RegKey key;
  ASSERT_EQ(key.Create(Hive::LocalMachine, L"Software\\KfeCX", View::Wow64_32), RegStatus::Ok);
  auto set_if_missing = [](const wchar_t* channel) {
    return [channel](const std::optional<std::wstring>& cur) -> std::optional<std::wstring> {
      if (cur) return std::nullopt;
      return std::wstring(channel);
    };
  };
  std::optional<std::wstring> now;
  ASSERT_EQ(key.UpdateString(L"", set_if_missing(L"first"), &now), RegStatus::Ok);
  EXPECT_EQ(now, L"first");
  ASSERT_EQ(key.UpdateString(L"", set_if_missing(L"second"), &now), RegStatus::Ok);
  EXPECT_EQ(now, L"first");
  EXPECT_EQ(key.GetString(L""), L"first");
}

// Two processes write the same key at once: each adds 500 values of its own
// and increments one shared counter 500 times. Nothing may be lost.
TEST_F(Registry, TwoProcessesWritingOneKeyLoseNothing) {
  RegKey key;
  ASSERT_EQ(key.Create(Hive::LocalMachine, L"Software\\Shared"), RegStatus::Ok);
  ASSERT_EQ(key.SetDword(L"Counter", 0), RegStatus::Ok);  // the parent's connection is open across fork()

  constexpr int kPerProcess = 500;
  std::vector<pid_t> children;
  for (int c = 0; c < 2; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      RegKey k;
      if (k.Create(Hive::LocalMachine, L"SOFTWARE\\shared") != RegStatus::Ok) _exit(10);
      for (int i = 0; i < kPerProcess; ++i) {
        if (k.SetDword(L"p" + std::to_wstring(c) + L"_" + std::to_wstring(i), static_cast<uint32_t>(i)) !=
            RegStatus::Ok)
          ++failures;
        if (k.UpdateDword(L"Counter", [](std::optional<uint32_t> v) { return std::optional<uint32_t>(v.value_or(0) + 1); }) !=
            RegStatus::Ok)
          ++failures;
      }
      _exit(failures == 0 ? 0 : 11);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  EXPECT_EQ(key.GetDword(L"Counter"), static_cast<uint32_t>(2 * kPerProcess));
  std::vector<platform::RegValueInfo> values;
  ASSERT_EQ(key.EnumValues(values), RegStatus::Ok);
  EXPECT_EQ(values.size(), static_cast<size_t>(2 * kPerProcess + 1));
  for (int c = 0; c < 2; ++c)
    for (int i = 0; i < kPerProcess; i += 97)
      EXPECT_EQ(key.GetDword(L"p" + std::to_wstring(c) + L"_" + std::to_wstring(i)), static_cast<uint32_t>(i));
}

TEST_F(Registry, ThreadsShareTheConnection) {
  RegKey key;
  ASSERT_EQ(key.Create(Hive::CurrentUser, L"Software\\Threads"), RegStatus::Ok);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      RegKey k;
      if (k.Open(Hive::CurrentUser, L"Software\\Threads") != RegStatus::Ok) ++failures;
      for (int i = 0; i < 100; ++i) {
        if (k.UpdateDword(L"n", [](std::optional<uint32_t> v) { return std::optional<uint32_t>(v.value_or(0) + 1); }) !=
            RegStatus::Ok)
          ++failures;
        if (k.SetString(L"t" + std::to_wstring(t), std::to_wstring(i)) != RegStatus::Ok) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(key.GetDword(L"n"), 400u);
  EXPECT_EQ(key.GetString(L"t3"), L"99");
}

// A hive moved aside by another process: this one reconnects to the new file,
// and keys it opened in the old one say they are gone.
TEST_F(Registry, AHiveMovedAsideElsewhereIsNoticed) {
  RegKey key;
  ASSERT_EQ(key.Create(Hive::CurrentUser, L"Software\\Old"), RegStatus::Ok);
  ASSERT_EQ(key.SetDword(L"v", 1), RegStatus::Ok);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    RegKey fresh;
    bool ok = platform::MoveAsideDamagedHive(Hive::CurrentUser) == RegStatus::Ok &&
              fresh.Create(Hive::CurrentUser, L"Software\\New") == RegStatus::Ok &&
              fresh.SetDword(L"w", 2) == RegStatus::Ok;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(fs::exists(root_ / "config/qiv/user.db.corrupt"));

  EXPECT_EQ(key.GetDword(L"v"), std::nullopt);
  EXPECT_EQ(platform::RegLastError(), RegStatus::KeyDeleted);
  EXPECT_EQ(key.SetDword(L"v", 3), RegStatus::KeyDeleted);
  RegKey now;
  EXPECT_EQ(now.Open(Hive::CurrentUser, L"Software\\Old"), RegStatus::NotFound);
  ASSERT_EQ(now.Open(Hive::CurrentUser, L"Software\\New"), RegStatus::Ok);
  EXPECT_EQ(now.GetDword(L"w"), 2u);
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// Damaged hives: a file of garbage, a truncated hive, and a database that is
// not a hive. Every one answers Corrupt with a text naming the file, and
// moving it aside starts an empty hive.
TEST_F(Registry, DamagedHivesFailCleanlyAndCanBeMovedAside) {
  const fs::path hive = root_ / "sys/var/lib/qiv/machine.db";
  // A real hive with enough pages to cut in half.
  {
    RegKey key;
    ASSERT_EQ(key.Create(Hive::LocalMachine, L"Software\\Big"), RegStatus::Ok);
    for (int i = 0; i < 400; ++i) ASSERT_EQ(key.SetString(L"v" + std::to_wstring(i), std::wstring(200, L'x')), RegStatus::Ok);
    platform::CloseAllHives();  // checkpoints the WAL into the file
  }
  std::string good;
  {
    std::ifstream in(hive, std::ios::binary);
    good.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GT(good.size(), 40000u);

  std::string foreign_db_path = (root_ / "foreign.db").string();
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(foreign_db_path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(x); INSERT INTO t VALUES(1);", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  std::string foreign;
  {
    std::ifstream in(foreign_db_path, std::ios::binary);
    foreign.assign(std::istreambuf_iterator<char>(in), {});
  }

  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string garbage(8192, '\0');
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  std::string header_only = good.substr(0, 100);
  std::string scribbled = good;
  for (size_t i = 4096; i < scribbled.size(); i += 1024) scribbled[i] = static_cast<char>(0xA5);
  const Case cases[] = {
      {"garbage", garbage},
      {"truncated to half", good.substr(0, good.size() / 2)},
      {"truncated to the header", header_only},
      {"scribbled pages", scribbled},
      {"a database without the hive schema", foreign},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::CloseAllHives();
    fs::remove(hive.string() + "-wal");
    fs::remove(hive.string() + "-shm");
    WriteFile(hive, c.bytes);
    RegKey key;
    EXPECT_EQ(key.Create(Hive::LocalMachine, L"Software\\Big"), RegStatus::Corrupt);
    EXPECT_NE(platform::RegLastErrorText().find(hive.string()), std::string::npos) << platform::RegLastErrorText();
    EXPECT_EQ(key.Open(Hive::LocalMachine, L"Software\\Big"), RegStatus::Corrupt);
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(RegKey::DeleteKey(Hive::LocalMachine, L"Software"), RegStatus::Corrupt);

    // The user hive is unaffected.
    RegKey user;
    EXPECT_EQ(user.Create(Hive::CurrentUser, L"Software\\Fine"), RegStatus::Ok);

    ASSERT_EQ(platform::MoveAsideDamagedHive(Hive::LocalMachine), RegStatus::Ok);
    EXPECT_TRUE(fs::exists(hive.string() + ".corrupt"));
    ASSERT_EQ(key.Create(Hive::LocalMachine, L"Software\\Big"), RegStatus::Ok);
    EXPECT_EQ(key.EnumValues().size(), 0u);
    ASSERT_EQ(key.SetDword(L"fresh", 1), RegStatus::Ok);
    EXPECT_EQ(key.GetDword(L"fresh"), 1u);
  }
}

}  // namespace

#include "app/client_identity.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <unistd.h>

#include "scratch_machine.h"

using platform::Hive;
using platform::View;

namespace {

// "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx": lower-case hex digits, the version
// digit 4 and y one of 8, 9, a, b.
template <typename Str>
bool IsUuidV4(const Str& u) {
  const char form[] = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx";
  if (u.size() != sizeof form - 1) return false;
  for (size_t i = 0; i < u.size(); ++i) {
    auto c = u[i];
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    switch (form[i]) {
      case 'x': if (!hex) return false; break;
      case 'y': if (c != '8' && c != '9' && c != 'a' && c != 'b') return false; break;
      default: if (c != form[i]) return false;
    }
  }
  return true;
}

const std::wstring kCu = L"Software\\Acme\\Acme Corvelin\\";
const std::wstring kKfe = L"Software\\Acme\\KFE\\";
const std::wstring kChannel = L"Software\\KfeCX\\";

TEST(MakeUuid, SeedVectors) {
  // The zero state draws only zeros: every "x" is "0", the "y" is "8".
  EXPECT_EQ(MakeUuidFromSeed(nullptr), "00000000-0000-4000-8000-000000000000");
  const uint8_t zero[16] = {};
  EXPECT_EQ(MakeUuidFromSeed(zero), "00000000-0000-4000-8000-000000000000");
  // State {1, 0}: the first draw is 0x800041 (worked by hand: s1 = 1 ^ 1 << 23,
  // then s1 ^ s1 >> 17), laid out little-endian, low nibble first.
  const uint8_t one[16] = {1};
  EXPECT_EQ(MakeUuidFromSeed(one), "14000800-0000-4000-8280-000100000000");
  // Vectors from an independent implementation of the generator.
  uint8_t counting[16];
  for (int i = 0; i < 16; ++i) counting[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(MakeUuidFromSeed(counting), "39313949-498d-4719-9fa0-be7acfa2db0d");
  uint8_t ones[16];
  for (auto& b : ones) b = 0xFF;
  EXPECT_EQ(MakeUuidFromSeed(ones), "fbfff700-0cff-4fff-b0cf-ef7000cfffff");
}

TEST(MakeUuid, RandomIdentitiesAreWellFormedVersion4AndDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    std::string u = MakeUuid();
    EXPECT_TRUE(IsUuidV4(u)) << u;
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 50u);
}

class ClientSign : public ScratchMachine {};

TEST_F(ClientSign, NewIdentityIsWrittenToBothMachineKeysAndKept) {
  std::wstring sign = GetClientSign(L"Acme");
  EXPECT_EQ(sign.size(), 39u);
  EXPECT_EQ(sign.substr(0, 1), L"{");
  EXPECT_EQ(sign.substr(37), L"G}");
  EXPECT_TRUE(IsUuidV4(sign.substr(1, 36)));
  // 32-bit view on a 64-bit system; nothing in the other view or for the user.
  EXPECT_EQ(Text(Hive::LocalMachine, kCu, L"ClientSign", View::Wow64_32), sign);
  EXPECT_EQ(Text(Hive::LocalMachine, kKfe, L"ClientSign", View::Wow64_32), sign);
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, L"Software\\Acme", View::Wow64_64));
  EXPECT_FALSE(KeyExists(Hive::CurrentUser, kCu, View::Wow64_32));
  EXPECT_EQ(GetClientSign(L"Acme"), sign);
  // Another brand has its own identity.
  EXPECT_NE(GetClientSign(L"Other"), sign);
}

TEST_F(ClientSign, OnA32BitSystemTheDefaultViewIsUsed) {
  SetIs64BitWindowsForTesting(0);
  std::wstring sign = GetClientSign(L"Acme");
  EXPECT_EQ(Text(Hive::LocalMachine, kCu, L"ClientSign", View::Default), sign);
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, L"Software\\Acme", View::Wow64_32));
}

TEST_F(ClientSign, LookupOrderAndWhatCountsAsPresent) {
  struct Case {
    const char* what;
    const wchar_t* user;     // null: absent; L"#" a DWORD value
    const wchar_t* machine;
    const wchar_t* kfe;
    const wchar_t* expect;   // null: a new identity
  };
  const Case cases[] = {
      {"user only", L"{user}", nullptr, nullptr, L"{user}"},
      {"user wins", L"{user}", L"{machine}", L"{kfe}", L"{user}"},
      {"machine before kfe", nullptr, L"{machine}", L"{kfe}", L"{machine}"},
      {"kfe last", nullptr, nullptr, L"{kfe}", L"{kfe}"},
      {"DWORD reads as absent", L"#", L"{machine}", nullptr, L"{machine}"},
      {"empty falls through", L"", L"{machine}", nullptr, L"{machine}"},
      {"too long for the buffer", L"{0123456789012345678901234567890123456789012345678}", L"{machine}", nullptr,
       L"{machine}"},
      {"all empty", L"", L"", L"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::RegKey::DeleteKey(Hive::CurrentUser, L"Software", View::Wow64_32);
    platform::RegKey::DeleteKey(Hive::LocalMachine, L"Software", View::Wow64_32);
    auto put = [](Hive hive, const std::wstring& path, const wchar_t* v) {
      if (!v) return;
      platform::RegKey k = Key(hive, path, View::Wow64_32);
      if (std::wstring(v) == L"#")
        k.SetDword(L"ClientSign", 7);
      else
        k.SetString(L"ClientSign", v);
    };
    put(Hive::CurrentUser, kCu, c.user);
    put(Hive::LocalMachine, kCu, c.machine);
    put(Hive::LocalMachine, kKfe, c.kfe);
    std::wstring got = GetClientSign(L"Acme");
    if (c.expect) {
      EXPECT_EQ(got, c.expect);
      // A found identity writes nothing.
      EXPECT_EQ(Text(Hive::LocalMachine, kCu, L"ClientSign", View::Wow64_32), c.machine ? c.machine : L"<none>");
      EXPECT_EQ(Text(Hive::LocalMachine, kKfe, L"ClientSign", View::Wow64_32), c.kfe ? c.kfe : L"<none>");
    } else {
      EXPECT_EQ(got.size(), 39u);
      EXPECT_EQ(Text(Hive::LocalMachine, kCu, L"ClientSign", View::Wow64_32), got);
      EXPECT_EQ(Text(Hive::LocalMachine, kKfe, L"ClientSign", View::Wow64_32), got);
    }
  }
}

TEST_F(ClientSign, AValueInTheOtherViewIsNotSeen) {
  Key(Hive::LocalMachine, kCu, View::Wow64_64).SetString(L"ClientSign", L"{64}");
  std::wstring sign = GetClientSign(L"Acme");
  EXPECT_NE(sign, L"{64}");
  EXPECT_EQ(Text(Hive::LocalMachine, kCu, L"ClientSign", View::Wow64_64), L"{64}");
}

TEST_F(ClientSign, AMachineHiveThatCantBeWrittenStillGivesAnIdentity) {
  // The hive file's place is taken by a folder: every machine write fails.
  std::filesystem::create_directories(platform::HivePath(Hive::LocalMachine));
  std::wstring sign = GetClientSign(L"Acme");
  EXPECT_EQ(sign.size(), 39u);
  EXPECT_NE(GetClientSign(L"Acme"), sign);  // nothing could be kept
  RecordChannel(L"app", L"chan", L"1");
  EXPECT_EQ(ReadDefaultChannel(), L"");
}

class Channel : public ScratchMachine {};

TEST_F(Channel, FirstChannelStaysTheDefaultAndEachAppKeepsItsLatest) {
  EXPECT_EQ(ReadDefaultChannel(), L"");
  EXPECT_FALSE(KeyExists(Hive::LocalMachine, kChannel, View::Wow64_32));

  RecordChannel(L"app1", L"chanA", L"100");
  RecordChannel(L"app2", L"chanB", L"200");
  RecordChannel(L"app1", L"chanC", L"100");
  EXPECT_EQ(ReadDefaultChannel(), L"chanA");
  EXPECT_EQ(Text(Hive::LocalMachine, kChannel, L"", View::Wow64_32), L"chanA");
  EXPECT_EQ(Text(Hive::LocalMachine, kChannel, L"app1", View::Wow64_32), L"chanC");
  EXPECT_EQ(Text(Hive::LocalMachine, kChannel, L"app2", View::Wow64_32), L"chanB");

  // Without an application id the product number names the value.
  RecordChannel(L"", L"chanD", L"300");
  EXPECT_EQ(Text(Hive::LocalMachine, kChannel, L"300", View::Wow64_32), L"chanD");
  // Without either, the default value is not overwritten.
  RecordChannel(L"", L"chanE", L"");
  EXPECT_EQ(ReadDefaultChannel(), L"chanA");
}

TEST_F(Channel, ADefaultThatCantBeReadIsReplaced) {
  Key(Hive::LocalMachine, kChannel, View::Wow64_32).SetDword(L"", 5);
  EXPECT_EQ(ReadDefaultChannel(), L"");
  RecordChannel(L"app", L"chanA", L"1");
  EXPECT_EQ(ReadDefaultChannel(), L"chanA");

  // An empty default can be read, so it stays.
  platform::RegKey::DeleteKey(Hive::LocalMachine, kChannel, View::Wow64_32);
  Key(Hive::LocalMachine, kChannel, View::Wow64_32).SetString(L"", L"");
  RecordChannel(L"app", L"chanB", L"1");
  EXPECT_EQ(ReadDefaultChannel(), L"");
  EXPECT_EQ(Text(Hive::LocalMachine, kChannel, L"app", View::Wow64_32), L"chanB");
}

}  // namespace

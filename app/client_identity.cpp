#include "app/client_identity.h"

#include <cstring>

#include "app/env_probes.h"
#include "app/simple_log.h"
#include "platform/registry/registry.h"
#include "platform/sysinfo/sysinfo.h"
#include "platform/text/text.h"

using platform::Hive;
using platform::RegKey;
using platform::RegStatus;

namespace {

// xorshift128+ with the shifts 23, 17 and 26.
struct XorShift128Plus {
  uint64_t s[2] = {0, 0};
  uint64_t Next() {
    uint64_t s1 = s[0];
    const uint64_t s0 = s[1];
    s[0] = s0;
    s1 ^= s1 << 23;
    s[1] = s1 ^ s0 ^ (s1 >> 17) ^ (s0 >> 26);
    return s[1] + s0;
  }
};

uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::wstring CorvelinKey(const std::wstring& brand) { return L"Software\\" + brand + L"\\" + brand + L" Corvelin\\"; }
std::wstring KfeKey(const std::wstring& brand) { return L"Software\\" + brand + L"\\KFE\\"; }
constexpr wchar_t kChannelKey[] = L"Software\\KfeCX\\";

// "ClientSign" of one place; nullopt when the key or value is missing, not
// text, too long for the Windows program's buffer, or empty.
std::optional<std::wstring> ReadSign(Hive hive, const std::wstring& path) {
  RegKey key;
  if (key.Open(hive, path, env_probes::Wow32View()) != RegStatus::Ok) return std::nullopt;
  auto v = env_probes::ReadText(key, L"ClientSign", env_probes::kSmallText);
  if (!v || v->empty()) return std::nullopt;
  return v;
}

void WriteSign(const std::wstring& path, const std::wstring& sign) {
  RegKey key;
  RegStatus st = key.Create(Hive::LocalMachine, path, env_probes::Wow32View());
  if (st == RegStatus::Ok) st = key.SetString(L"ClientSign", sign);
  if (st != RegStatus::Ok) QLOG("[WARN] %d - GetClientSign, write failed, err=[%ld].", static_cast<long>(st));
}

}  // namespace

std::string MakeUuidFromSeed(const uint8_t seed[16]) {
  XorShift128Plus gen;
  if (seed) {
    gen.s[0] = LoadLe64(seed);
    gen.s[1] = LoadLe64(seed + 8);
  }
  uint8_t bytes[16];
  const uint64_t a = gen.Next();
  const uint64_t b = gen.Next();
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<uint8_t>(a >> (8 * i));
    bytes[8 + i] = static_cast<uint8_t>(b >> (8 * i));
  }
  static const char kHex[] = "0123456789abcdef";
  static const char kTemplate[] = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx";
  std::string out;
  out.reserve(sizeof kTemplate - 1);
  size_t nibble = 0;  // low half of a byte first, then its high half
  for (const char* t = kTemplate; *t; ++t) {
    if (*t != 'x' && *t != 'y') {
      out.push_back(*t);
      continue;
    }
    const uint8_t byte = bytes[nibble / 2];
    const unsigned v = (nibble % 2 == 0) ? (byte & 0x0F) : (byte >> 4);
    ++nibble;
    out.push_back(*t == 'x' ? kHex[v] : kHex[(v & 3) + 8]);
  }
  return out;
}

std::string MakeUuid() {
  uint8_t seed[16];
  if (!platform::RandomBytes(seed, sizeof seed)) return MakeUuidFromSeed(nullptr);
  return MakeUuidFromSeed(seed);
}

std::wstring GetClientSign(const std::wstring& brand) {
  // An empty value falls through to the next place like a missing one, so
  // that a stray empty value never replaces the machine's identity.
  std::optional<std::wstring> sign = ReadSign(Hive::CurrentUser, CorvelinKey(brand));
  if (!sign) sign = ReadSign(Hive::LocalMachine, CorvelinKey(brand));
  if (!sign) sign = ReadSign(Hive::LocalMachine, KfeKey(brand));
  if (sign) return *sign;

  std::wstring made = L"{" + platform::Utf8ToWideString(MakeUuid()) + L"G}";
  WriteSign(CorvelinKey(brand), made);
  WriteSign(KfeKey(brand), made);
  return made;
}

void RecordChannel(const std::wstring& app_id, const std::wstring& channel, const std::wstring& product_id) {
  RegKey key;
  RegStatus st = key.Create(Hive::LocalMachine, kChannelKey, env_probes::Wow32View());
  if (st != RegStatus::Ok) {
    QLOG("[WARN] %d - RecordChannel, open failed, err=[%ld].", static_cast<long>(st));
    return;
  }
  // The first channel ever recorded stays the default; the check and the
  // write are one transaction, so two setups starting together can't both
  // become the default.
  key.UpdateString(L"", [&](const std::optional<std::wstring>& current) -> std::optional<std::wstring> {
    if (current && current->size() <= env_probes::kSmallText) return std::nullopt;
    return channel;
  });
  const std::wstring& name = app_id.empty() ? product_id : app_id;
  // Without any name the value would be the default value itself.
  if (name.empty()) return;
  key.SetString(name, channel);
}

std::wstring ReadDefaultChannel() {
  RegKey key;
  if (key.Open(Hive::LocalMachine, kChannelKey, env_probes::Wow32View()) != RegStatus::Ok) return L"";
  return env_probes::ReadText(key, L"", env_probes::kSmallText).value_or(L"");
}

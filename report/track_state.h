// The process-wide tracking collector: every part of the program drops facts
// about the run here (named fields, CDN use, bound products, crash details,
// events and pairs); at the end of the run or after a crash they become one
// record for the platform server.
//
// Thread safety: fields, the CDN counter and the bound products each have
// their own lock; so do the event and pair lists. Crash details are written
// once by the crash handler.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct CrashInfo {
  uint8_t crashed = 0;
  uint32_t code = 0;
  uint32_t address = 0;
  uint32_t offset = 0;           // address minus the start of its section
  std::wstring file_name = L"-"; // full path of the module holding the address
  std::wstring section = L"-";   // that section's name, 8 characters at most
};

struct BindRecord {
  uint8_t force = 0;
  uint32_t down_start = 0;
  uint32_t down_end = 0;
  int32_t down_fail_code = 0;
  uint32_t install_start = 0;
  uint32_t install_end = 0;
  int32_t install_fail_code = 0;
  std::wstring note;
  std::wstring server_xml_md5;
};

class TrackState {
 public:
  static constexpr size_t kMaxEvents = 100;
  static constexpr size_t kMaxEventLength = 256;

  static TrackState& Get();

  void SetString(const std::wstring& key, const std::wstring& text);
  // Looks a field up; an absent field is created empty.
  std::wstring Field(const std::wstring& key);
  std::map<std::wstring, std::wstring> Fields();
  // Held by the record sender while a record is on the wire.
  std::mutex& field_lock() { return field_lock_; }
  std::map<std::wstring, std::wstring>& fields_locked() { return fields_; }

  void CountCdn(const std::wstring& address);
  std::map<std::wstring, uint32_t> CdnCounts();

  void SetBindForce(int32_t product, bool force);
  // The product's record, created empty; hold bind_lock() while using it.
  BindRecord& BindRecordLocked(int32_t product);
  std::mutex& bind_lock() { return bind_lock_; }
  std::map<int32_t, BindRecord> BindRecords();

  void AddEvent(const std::wstring& text);
  std::vector<std::wstring> Events();
  void AddPair(const std::wstring& key, const std::wstring& value, bool quoted);
  std::vector<std::wstring> Pairs();

  void SetBaseAddress(const std::wstring& address);
  std::wstring BaseAddress();

  CrashInfo& crash() { return crash_; }

  uint8_t per_product = 0;
  uint8_t enabled = 0;
  std::wstring track_id;
  const uint32_t start_time;

  // Reshapes an event text as stored, or returns false when it is dropped
  // for its shape or length (the list limit is not checked here).
  static bool ReshapeEvent(const std::wstring& text, std::wstring* out);

  // Empties every list and field and restores the defaults (tests only).
  void ResetForTesting();

 private:
  TrackState();

  std::mutex field_lock_;
  std::map<std::wstring, std::wstring> fields_;
  std::wstring base_address_;
  std::mutex cdn_lock_;
  std::map<std::wstring, uint32_t> cdn_;
  std::mutex bind_lock_;
  std::map<int32_t, BindRecord> binds_;
  CrashInfo crash_;
  std::mutex event_lock_;
  std::vector<std::wstring> events_;
  std::mutex pair_lock_;
  std::vector<std::wstring> pairs_;
};

// The platform server's root address until the product configuration names another.
extern const wchar_t kDefaultTrackBaseAddress[];

void TrackSetString(const std::wstring& key, const std::wstring& text);
void TrackSetInt(const std::wstring& key, int32_t value);
// Callers holding a 64-bit value (sizes, times, speeds) pass its low 32 bits.
void TrackSetUInt(const std::wstring& key, uint32_t value);
void TrackCountCdn(const std::wstring& address);
void TrackSetBindForce(int32_t product, bool force);
void TrackAddEvent(const std::wstring& text);
void TrackAddPair(const std::wstring& key, const std::wstring& value, bool quoted);

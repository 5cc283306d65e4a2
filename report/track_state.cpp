#include "report/track_state.h"

#include "platform/clock/clock.h"

const wchar_t kDefaultTrackBaseAddress[] = L"https://platform.qiv.invalid/";

TrackState& TrackState::Get() {
  // Never destroyed: the crash handler and late threads may still use it.
  static TrackState* state = new TrackState;
  return *state;
}

TrackState::TrackState()
    : start_time(static_cast<uint32_t>(platform::Now())), base_address_(kDefaultTrackBaseAddress) {}

void TrackState::SetString(const std::wstring& key, const std::wstring& text) {
  std::lock_guard<std::mutex> lock(field_lock_);
  fields_[key] = text;
}

std::wstring TrackState::Field(const std::wstring& key) {
  std::lock_guard<std::mutex> lock(field_lock_);
  return fields_[key];
}

std::map<std::wstring, std::wstring> TrackState::Fields() {
  std::lock_guard<std::mutex> lock(field_lock_);
  return fields_;
}

void TrackState::CountCdn(const std::wstring& address) {
  std::lock_guard<std::mutex> lock(cdn_lock_);
  ++cdn_[address];
}

std::map<std::wstring, uint32_t> TrackState::CdnCounts() {
  std::lock_guard<std::mutex> lock(cdn_lock_);
  return cdn_;
}

void TrackState::SetBindForce(int32_t product, bool force) {
  std::lock_guard<std::mutex> lock(bind_lock_);
  binds_[product].force = force ? 1 : 0;
}

BindRecord& TrackState::BindRecordLocked(int32_t product) { return binds_[product]; }

std::map<int32_t, BindRecord> TrackState::BindRecords() {
  std::lock_guard<std::mutex> lock(bind_lock_);
  return binds_;
}

bool TrackState::ReshapeEvent(const std::wstring& text, std::wstring* out) {
  if (text.size() > kMaxEventLength) return false;
  size_t c = text.find(L",\"event\"");
  size_t t = text.find(L"\",\"time\":\"");
  size_t d = text.find(L"\",\"data\":\"");
  if (c == std::wstring::npos || t == std::wstring::npos || d == std::wstring::npos) return false;
  // {"xyz":"K","event":"E","time":"T","data":"D"} becomes {"K":"E,T,D"}: the
  // pieces sit at fixed distances after each marker. Texts whose markers come
  // out of order, or too close to the start, cannot be reshaped and are dropped.
  if (c < 7 || t < c + 8 || d < t + 10) return false;
  std::wstring r = L"{";
  r.append(text, 7, c - 7);
  r.append(text, c + 8, t - (c + 8));
  r.push_back(L',');
  r.append(text, t + 10, d - (t + 10));
  r.push_back(L',');
  r.append(text, d + 10, std::wstring::npos);
  *out = std::move(r);
  return true;
}

void TrackState::AddEvent(const std::wstring& text) {
  std::wstring reshaped;
  if (!ReshapeEvent(text, &reshaped)) return;
  std::lock_guard<std::mutex> lock(event_lock_);
  if (events_.size() >= kMaxEvents) return;
  events_.push_back(std::move(reshaped));
}

std::vector<std::wstring> TrackState::Events() {
  std::lock_guard<std::mutex> lock(event_lock_);
  return events_;
}

void TrackState::AddPair(const std::wstring& key, const std::wstring& value, bool quoted) {
  std::wstring pair = L"{\"" + key + L"\":";
  pair += quoted ? L"\"" + value + L"\"" : value;
  pair += L"}";
  std::lock_guard<std::mutex> lock(pair_lock_);
  for (const auto& p : pairs_) {
    if (p == pair) return;
  }
  pairs_.push_back(std::move(pair));
}

std::vector<std::wstring> TrackState::Pairs() {
  std::lock_guard<std::mutex> lock(pair_lock_);
  return pairs_;
}

void TrackState::SetBaseAddress(const std::wstring& address) {
  std::lock_guard<std::mutex> lock(field_lock_);
  base_address_ = address;
}

std::wstring TrackState::BaseAddress() {
  std::lock_guard<std::mutex> lock(field_lock_);
  return base_address_;
}

void TrackState::ResetForTesting() {
  { std::lock_guard<std::mutex> l(field_lock_); fields_.clear(); base_address_ = kDefaultTrackBaseAddress; }
  { std::lock_guard<std::mutex> l(cdn_lock_); cdn_.clear(); }
  { std::lock_guard<std::mutex> l(bind_lock_); binds_.clear(); }
  { std::lock_guard<std::mutex> l(event_lock_); events_.clear(); }
  { std::lock_guard<std::mutex> l(pair_lock_); pairs_.clear(); }
  crash_ = CrashInfo{};
  per_product = 0;
  enabled = 0;
  track_id.clear();
}

void TrackSetString(const std::wstring& key, const std::wstring& text) { TrackState::Get().SetString(key, text); }
void TrackSetInt(const std::wstring& key, int32_t value) { TrackState::Get().SetString(key, std::to_wstring(value)); }
void TrackSetUInt(const std::wstring& key, uint32_t value) { TrackState::Get().SetString(key, std::to_wstring(value)); }
void TrackCountCdn(const std::wstring& address) { TrackState::Get().CountCdn(address); }
void TrackSetBindForce(int32_t product, bool force) { TrackState::Get().SetBindForce(product, force); }
void TrackAddEvent(const std::wstring& text) { TrackState::Get().AddEvent(text); }
void TrackAddPair(const std::wstring& key, const std::wstring& value, bool quoted) {
  TrackState::Get().AddPair(key, value, quoted);
}

#include "report/track_state.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class TrackStateTest : public ::testing::Test {
 protected:
  void SetUp() override { TrackState::Get().ResetForTesting(); }
};

TEST_F(TrackStateTest, FieldsKeepTheLastValueAndLookupsCreateEmptyFields) {
  TrackSetString(L"channel", L"a");
  TrackSetString(L"channel", L"b");
  TrackSetInt(L"downcode", -3);
  TrackSetUInt(L"packagesize", static_cast<uint32_t>(0x1'2345'6789ull));  // low half only
  TrackState& s = TrackState::Get();
  EXPECT_EQ(s.Field(L"channel"), L"b");
  EXPECT_EQ(s.Field(L"downcode"), L"-3");
  EXPECT_EQ(s.Field(L"packagesize"), L"591751049");
  EXPECT_EQ(s.Field(L"absent"), L"");
  auto fields = s.Fields();
  EXPECT_EQ(fields.size(), 4u);
  EXPECT_EQ(fields.begin()->first, L"absent");  // ordered by key
}

TEST_F(TrackStateTest, EventsAreReshapedOrDropped) {
  struct Case {
    const wchar_t* in;
    const wchar_t* out;  // null: dropped
  } cases[] = {
      {LR"({"xyz":"K","event":"E","time":"T","data":"D"})", LR"({"K":"E,T,D"})"},
      {LR"({"abc":"page","event":"click","time":"1700000000","data":"btn"})", LR"({"page":"click,1700000000,btn"})"},
      {LR"({"xyz":"K","event":"E","data":"D"})", nullptr},  // no time
      {LR"({"xyz":"K","time":"T","data":"D"})", nullptr},   // no event
      {LR"(","time":"","data":"","event":")", nullptr},    // markers out of order
      {L"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::wstring out;
    bool kept = TrackState::ReshapeEvent(c.in, &out);
    EXPECT_EQ(kept, c.out != nullptr);
    if (c.out) {
      EXPECT_EQ(out, c.out);
    }
  }
}

TEST_F(TrackStateTest, EventListLimits) {
  std::wstring base = LR"({"xyz":"K","event":"E","time":"T","data":")";
  std::wstring at_limit = base + std::wstring(256 - base.size() - 2, L'd') + L"\"}";
  ASSERT_EQ(at_limit.size(), 256u);
  TrackAddEvent(at_limit);
  TrackAddEvent(at_limit + L" ");  // 257 characters
  EXPECT_EQ(TrackState::Get().Events().size(), 1u);
  for (int i = 0; i < 120; ++i) TrackAddEvent(base + std::to_wstring(i) + L"\"}");
  auto events = TrackState::Get().Events();
  ASSERT_EQ(events.size(), 100u);
  EXPECT_EQ(events.back(), LR"({"K":"E,T,98"})");
}

TEST_F(TrackStateTest, PairsAreFormattedAndDeduplicated) {
  TrackAddPair(L"filemd5_12", L"0123456789ABCDEF0123456789ABCDEF", true);
  TrackAddPair(L"matchmd5_12", L"1", false);
  TrackAddPair(L"matchmd5_12", L"1", false);
  TrackAddPair(L"retry", L"1", false);
  TrackAddPair(L"retry", L"2", false);
  std::vector<std::wstring> want = {LR"({"filemd5_12":"0123456789ABCDEF0123456789ABCDEF"})", LR"({"matchmd5_12":1})",
                                    LR"({"retry":1})", LR"({"retry":2})"};
  EXPECT_EQ(TrackState::Get().Pairs(), want);
}

TEST_F(TrackStateTest, BindRecordsAndCdnCounts) {
  TrackSetBindForce(1203, true);
  {
    std::lock_guard<std::mutex> lock(TrackState::Get().bind_lock());
    TrackState::Get().BindRecordLocked(1203).down_fail_code = -7;
    TrackState::Get().BindRecordLocked(77).install_end = 5;
  }
  auto binds = TrackState::Get().BindRecords();
  ASSERT_EQ(binds.size(), 2u);
  EXPECT_EQ(binds[1203].force, 1);
  EXPECT_EQ(binds[1203].down_fail_code, -7);
  EXPECT_EQ(binds[77].force, 0);
  EXPECT_EQ(binds[77].install_end, 5u);
  EXPECT_EQ(TrackState::Get().crash().file_name, L"-");
  EXPECT_EQ(TrackState::Get().crash().section, L"-");
}

// Many threads hitting every setter at once: counts and lists stay exact.
TEST_F(TrackStateTest, ConcurrentSettersLoseNothing) {
  constexpr int kThreads = 8, kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRounds; ++i) {
        TrackCountCdn(L"127.0.0." + std::to_wstring(2 + i % 3));
        TrackSetInt(L"k" + std::to_wstring(t), i);
        TrackAddPair(L"p", std::to_wstring(i % 50), false);
        {
          std::lock_guard<std::mutex> lock(TrackState::Get().bind_lock());
          ++TrackState::Get().BindRecordLocked(t % 2).down_end;
        }
        if (i % 100 == 0) TrackAddEvent(LR"({"xyz":"K","event":"E","time":"T","data":"D"})");
      }
    });
  }
  for (auto& th : threads) th.join();
  uint32_t cdn_total = 0;
  for (const auto& [addr, n] : TrackState::Get().CdnCounts()) cdn_total += n;
  EXPECT_EQ(cdn_total, static_cast<uint32_t>(kThreads * kRounds));
  EXPECT_EQ(TrackState::Get().Pairs().size(), 50u);
  EXPECT_EQ(TrackState::Get().Events().size(), 100u);
  auto binds = TrackState::Get().BindRecords();
  EXPECT_EQ(binds[0].down_end + binds[1].down_end, static_cast<uint32_t>(kThreads * kRounds));
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(TrackState::Get().Field(L"k" + std::to_wstring(t)), L"1999");
}

}  // namespace

// The call index on a real SQLite file in a temporary folder: searching and paging, what a
// restart after a crash finds, and retention.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <fstream>

#include "calls/call_store.hpp"
#include "index_holder.hpp"

namespace quillon::calls {
namespace {

namespace fs = std::filesystem;

class CallStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-calls-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  static CallRecord call(int channel, std::int64_t start_ms, const std::string& tag, const std::string& bank) {
    CallRecord r;
    r.site = "hq";
    r.channel = channel;
    r.start_ms = start_ms;
    r.duration_ms = 4000;
    r.frequency_hz = 167'350'000;
    r.modulation = "NFM";
    r.display = {"SCAN +   C 020", "167.3500  NFM", tag, bank};
    r.file = "2026/12/08/c" + std::to_string(channel) + "-" + std::to_string(start_ms) + ".opus";
    return r;
  }
  // As the recorder stores a call: audio to its temporary name, row committed, file moved.
  static void store(CallStore& s, CallRecord& r, std::size_t bytes, bool move = true) {
    {
      std::ofstream(s.temp_path(r.file), std::ios::binary) << std::string(bytes, 'x');
    }
    r.bytes = static_cast<std::int64_t>(bytes);
    s.add(r);
    if (!move) return;
    fs::create_directories((s.dir() / r.file).parent_path());
    fs::rename(s.temp_path(r.file), s.dir() / r.file);
  }

  fs::path dir;
};

TEST_F(CallStoreTest, FindsByChannelTextAndTimeNewestFirstAndPagesWithTheCursor) {
  CallStore s(dir);
  const std::int64_t t0 = *parse_rfc3339("2026-12-08T02:00:00Z");
  for (int i = 0; i < 12; ++i) {
    CallRecord r = call(1 + i % 2, t0 + i * 60'000, i % 3 == 0 ? "TWR Gardermoen" : "AMK OSL CH 2", i % 3 == 0 ? "AIR" : "BLAALYS");
    store(s, r, 100);
  }
  CallQuery q;
  q.channel = 1;
  q.text = "garder";
  CallPage page = s.find(q);
  ASSERT_EQ(page.calls.size(), 2u);  // i = 0 and 6: channel 1 and a Gardermoen tag
  EXPECT_EQ(page.calls[0].start_ms, t0 + 6 * 60'000);
  EXPECT_EQ(page.calls[1].start_ms, t0);
  EXPECT_EQ(page.calls[0].tags(), (std::vector<std::string>{"TWR Gardermoen", "AIR"}));
  EXPECT_FALSE(page.next);
  // Text and a time range together.
  q.from_ms = t0 + 60'000;
  page = s.find(q);
  ASSERT_EQ(page.calls.size(), 1u);
  EXPECT_EQ(page.calls[0].start_ms, t0 + 6 * 60'000);

  // Query syntax in the text is searched for as text, never run.
  q = {};
  q.text = "\"AIR OR x*) NEAR(";
  EXPECT_NO_THROW(s.find(q));

  q = {};
  q.from_ms = t0 + 3 * 60'000;
  q.to_ms = t0 + 9 * 60'000;
  q.limit = 4;
  page = s.find(q);
  ASSERT_EQ(page.calls.size(), 4u);
  EXPECT_EQ(page.calls[0].start_ms, t0 + 8 * 60'000);
  ASSERT_TRUE(page.next);
  q.before = page.next;
  page = s.find(q);
  ASSERT_EQ(page.calls.size(), 2u);
  EXPECT_EQ(page.calls[1].start_ms, t0 + 3 * 60'000);
  EXPECT_FALSE(page.next);
}

TEST_F(CallStoreTest, ARestartAfterACrashListsEveryFinishedCallAndNoCallWithoutItsFile) {
  std::int64_t finished_id = 0, moved_id = 0, lost_id = 0;
  {
    CallStore s(dir);
    CallRecord done = call(1, 1'000, "A", "B");
    store(s, done, 500);
    finished_id = done.id;
    // Killed after the row was committed, before the file was moved in place.
    // (Each call a transmission of its own: on another frequency, so none is linked to another.)
    CallRecord committed = call(2, 2'000, "C", "D");
    committed.frequency_hz += 25'000;
    store(s, committed, 700, false);
    moved_id = committed.id;
    // A listed call whose file went (removed by hand, or retention killed half-way).
    CallRecord gone = call(3, 3'000, "E", "F");
    gone.frequency_hz += 50'000;
    store(s, gone, 300);
    lost_id = gone.id;
    fs::remove(s.dir() / gone.file);
    // Killed while a call was being recorded: its audio is in incoming/, it has no row.
    std::ofstream(s.temp_path("2026/12/08/c4-4000.opus")) << "OggS partial";
  }
  CallStore s(dir);
  EXPECT_EQ(s.recovery().finished, 1);
  EXPECT_EQ(s.recovery().removed_temp, 1);
  EXPECT_EQ(s.recovery().removed_rows, 1);
  const auto page = s.find({});
  ASSERT_EQ(page.calls.size(), 2u);
  for (const auto& c : page.calls) {
    EXPECT_TRUE(c.id == finished_id || c.id == moved_id);
    EXPECT_TRUE(fs::exists(s.dir() / c.file)) << c.file;
  }
  EXPECT_FALSE(s.get(lost_id));
  EXPECT_TRUE(fs::is_empty(s.incoming()));
  EXPECT_EQ(s.total_bytes(), 1200);
}

TEST_F(CallStoreTest, RetentionRemovesTheOldestFilesAndRowsBySizeAndByAge) {
  CallStore s(dir);
  const std::int64_t day = 86'400'000;
  const std::int64_t now = 40 * day;
  std::vector<CallRecord> calls;
  for (int i = 0; i < 10; ++i) {
    calls.push_back(call(1, now - (10 - i) * day, "T", "B"));  // one a day, the oldest 10 days old
    store(s, calls.back(), 100 * 1024);
  }
  EXPECT_EQ(s.retain(0, 1, now), 0);  // 1000 KiB fit in 1 MiB
  EXPECT_EQ(s.retain(0, 0, now), 0);
  EXPECT_EQ(s.retain(7, 0, now), 3);  // 10, 9 and 8 days old
  for (int i = 0; i < 10; ++i) EXPECT_EQ(fs::exists(dir / calls[static_cast<std::size_t>(i)].file), i >= 3) << i;
  EXPECT_EQ(s.count(), 7);
  EXPECT_EQ(s.total_bytes(), 7 * 100 * 1024);
  for (int i = 0; i < 20; ++i) {
    CallRecord r = call(2, now + i, "T", "B");
    store(s, r, 100 * 1024);
  }
  EXPECT_EQ(s.retain(0, 2, now), 7);  // 27 x 100 KiB down to 20
  EXPECT_LE(s.total_bytes(), 2 * 1024 * 1024);
  EXPECT_EQ(s.find({}).calls.back().channel, 2);  // the oldest left is one of the new ones
  EXPECT_EQ(s.count(), 20);
}

TEST_F(CallStoreTest, AHeldIndexIsReportedBusyWhileReadsGoOnAndFreedByTheNextWrite) {
  CallStore s(dir);
  s.wall_ms = [] { return std::int64_t{1'796'000'000'000}; };
  CallRecord first = call(1, 1'000, "A", "B");
  store(s, first, 100);
  {
    test::IndexHolder holder(dir / "calls.db");
    CallRecord second = call(1, 2'000, "C", "D");
    try {
      store(s, second, 100);
      FAIL() << "stored while another connection held the index";
    } catch (const StoreError& e) {
      EXPECT_TRUE(e.busy) << e.what();
      EXPECT_FALSE(e.disk_full);
    }
    EXPECT_EQ(s.busy_since_ms(), 1'796'000'000'000);
    EXPECT_FALSE(s.probe());
    // Readers are not held up: the calls stored before are listed.
    EXPECT_EQ(s.find({}).calls.size(), 1u);
    EXPECT_TRUE(s.get(first.id));
    // Retention removes no file while its row could not follow.
    EXPECT_EQ(s.retain(0, 0, 0), 0);
    EXPECT_EQ(s.retain(1, 0, 100 * 86'400'000LL), 0);
    EXPECT_TRUE(fs::exists(dir / first.file));
  }
  EXPECT_TRUE(s.probe());
  EXPECT_FALSE(s.busy_since_ms());
  CallRecord third = call(1, 3'000, "E", "F");
  store(s, third, 100);
  EXPECT_EQ(s.count(), 2);
}

TEST_F(CallStoreTest, OpensWhileAnotherProcessHoldsTheIndex) {
  CallRecord r = call(1, 1'000, "A", "B");
  {
    CallStore s(dir);
    store(s, r, 100);
  }
  test::IndexHolder holder(dir / "calls.db");
  CallStore s(dir);
  EXPECT_EQ(s.find({}).calls.size(), 1u);
  CallRecord next = call(1, 2'000, "C", "D");
  EXPECT_THROW(store(s, next, 100), StoreError);
  EXPECT_TRUE(s.busy_since_ms());
}

TEST_F(CallStoreTest, ACommitThatFindsTheDiskFullSaysSoAndNotWhatTheRollbackSaid) {
  CallStore s(dir);
  CallRecord r = call(1, 1'000, "A", "B");
  {
    std::ofstream(s.temp_path(r.file), std::ios::binary) << "OggS";
  }
  // A file size limit stands in for the full disk: the index's write-ahead log cannot grow.
  const auto wal = fs::file_size(dir / "calls.db-wal");
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit limit = old_limit;
  limit.rlim_cur = static_cast<rlim_t>(wal);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  std::optional<StoreError> failure;
  try {
    s.add(r);
  } catch (const StoreError& e) {
    failure = e;
  }
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(failure);
  const std::string what = failure->what();
  EXPECT_TRUE(failure->disk_full) << what;
  EXPECT_FALSE(failure->busy);
  EXPECT_EQ(what.find("no transaction is active"), std::string::npos) << what;
  EXPECT_NE(what.find("call index: commit: "), std::string::npos) << what;
  // Nothing half-done stays behind: the same call goes in once there is room.
  EXPECT_EQ(s.count(), 0);
  s.add(r);
  EXPECT_EQ(s.count(), 1);
}

TEST_F(CallStoreTest, OpeningLeavesACallWaitingForTheIndexAndDropsRowFilesOfStoredCalls) {
  {
    CallStore s(dir);
    std::ofstream(s.temp_path("2026/12/08/c1-1000.opus")) << "OggS complete";
    std::ofstream(s.row_path("2026/12/08/c1-1000.opus")) << "{}";
    // Stored and moved in place; killed before its row file went.
    CallRecord done = call(2, 2'000, "C", "D");
    store(s, done, 100);
    std::ofstream(s.row_path(done.file)) << "{}";
    // Stored, killed before the move: moved now, its row file goes with it.
    CallRecord unmoved = call(3, 3'000, "E", "F");
    store(s, unmoved, 100, false);
    std::ofstream(s.row_path(unmoved.file)) << "{}";
    std::ofstream(s.incoming() / "2026_12_08_c4-1.opus.row.tmp") << "{\"or";
  }
  CallStore s(dir);
  EXPECT_EQ(s.recovery().removed_temp, 0);
  EXPECT_EQ(s.recovery().finished, 1);
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(s.incoming())) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"2026_12_08_c1-1000.opus.part", "2026_12_08_c1-1000.opus.row"}));
}

TEST(CallTimes, Rfc3339RoundTripsAndRejectsOtherText) {
  const auto t = parse_rfc3339("2026-12-08T02:41:07.250Z");
  ASSERT_TRUE(t);
  EXPECT_EQ(rfc3339_ms(*t), "2026-12-08T02:41:07.250Z");
  EXPECT_EQ(parse_rfc3339("2026-12-08T03:41:07.250+01:00"), t);
  for (const char* bad : {"", "2026-12-08", "2026-12-08T02:41:07", "2026-13-08T02:41:07Z", "2026-12-08T02:41:07.Z",
                          "2026-12-08T02:41:07Zjunk", "yesterday"})
    EXPECT_FALSE(parse_rfc3339(bad)) << bad;
}

}  // namespace
}  // namespace quillon::calls

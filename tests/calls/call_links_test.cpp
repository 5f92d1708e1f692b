// One transmission heard by two radios, in a real call index: which calls are linked, which
// recording the list shows, searching, separating them again, retention, and an index of an
// earlier version.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "calls/call_store.hpp"
#include "calls/calls_api.hpp"
#include "calls/listener_calls.hpp"

namespace quillon::calls {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kT0 = 1'796'000'000'000;
constexpr std::int64_t kFm = 100'200'000;  // 100.2000 MHz

class CallLinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-links-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    store = std::make_unique<CallStore>(dir);
  }
  void TearDown() override {
    store.reset();
    fs::remove_all(dir);
  }

  // A call stored as the recorder stores it: file in place, row committed.
  CallRecord add(int channel, std::int64_t start_ms, int duration_ms, std::int64_t hz, int signal,
                 const std::string& tag = "NRK P1") {
    CallRecord r;
    r.site = "hq";
    r.channel = channel;
    r.start_ms = start_ms;
    r.duration_ms = duration_ms;
    r.frequency_hz = hz;
    r.modulation = "WFM";
    r.signal_max = signal;
    r.display = {"SCAN", "100.2000 WFM", tag, "BROADCAST"};
    r.file = "2026/12/08/c" + std::to_string(channel) + "-" + std::to_string(start_ms) + ".opus";
    r.bytes = 1024 * 1024;
    fs::create_directories((dir / r.file).parent_path());
    std::ofstream(dir / r.file) << std::string(16, 'x');
    store->add(r);
    return r;
  }
  std::vector<std::int64_t> listed(CallQuery q = {}) {
    std::vector<std::int64_t> ids;
    for (const auto& c : store->find(q).calls) ids.push_back(c.id);
    return ids;
  }
  std::vector<std::int64_t> search(const std::string& text) {
    CallQuery q;
    q.text = text;
    return listed(q);
  }

  fs::path dir;
  std::unique_ptr<CallStore> store;
};

TEST_F(CallLinksTest, OneTransmissionOnTwoChannelsIsListedOnceAsItsStrongerRecording) {
  const CallRecord a = add(1, kT0, 4000, kFm, 12);
  const CallRecord b = add(2, kT0 + 600, 4000, kFm + 500, 30);  // another radio's reading, half a step off
  EXPECT_FALSE(a.duplicate);
  EXPECT_TRUE(b.duplicate);  // the transmission was stored already
  EXPECT_EQ(b.link_id, a.id);
  EXPECT_TRUE(b.shown);
  // Both rows kept: the list shows the stronger one, each channel's list its own call.
  EXPECT_EQ(store->count(), 2);
  EXPECT_EQ(listed(), std::vector<std::int64_t>{b.id});
  CallQuery ch1;
  ch1.channel = 1;
  EXPECT_EQ(listed(ch1), std::vector<std::int64_t>{a.id});
  const auto stored_a = store->get(a.id);
  ASSERT_TRUE(stored_a);
  EXPECT_FALSE(stored_a->shown);
  EXPECT_FALSE(stored_a->duplicate);
  EXPECT_EQ(stored_a->link_id, a.id);
  const auto recordings = store->linked_recordings({a.id});
  ASSERT_EQ(recordings.size(), 2u);
  EXPECT_EQ(recordings[0].id, b.id);  // best first
  EXPECT_TRUE(recordings[0].shown);
  EXPECT_EQ(recordings[1].channel, 1);

  // A third radio, weaker: the same transmission, still listed once as channel 2's recording.
  const CallRecord c = add(4, kT0 + 1200, 3000, kFm, 20);
  EXPECT_EQ(c.link_id, a.id);
  EXPECT_FALSE(c.shown);
  EXPECT_EQ(listed(), std::vector<std::int64_t>{b.id});
  // The links hold after a restart.
  store.reset();
  store = std::make_unique<CallStore>(dir);
  EXPECT_EQ(listed(), std::vector<std::int64_t>{b.id});
  EXPECT_EQ(store->linked_recordings({a.id}).size(), 3u);
}

TEST_F(CallLinksTest, OnlyOverlappingCallsOnOtherChannelsWithinTheStepAreLinked) {
  const CallRecord a = add(1, kT0, 4000, kFm, 10);
  // 5 kHz off: the next channel of the finest step, another transmission.
  const CallRecord next_step = add(2, kT0 + 500, 4000, kFm + kLinkToleranceHz, 10);
  // After the first ended: another transmission on the same frequency.
  const CallRecord later = add(3, kT0 + 4000, 2000, kFm, 10);
  // The same channel again, overlapping the first.
  const CallRecord same_channel = add(1, kT0 + 3000, 500, kFm, 10);
  // No frequency read: never linked.
  const CallRecord unknown = add(4, kT0 + 100, 4000, 0, 10);
  for (const auto& r : {a, next_step, later, same_channel, unknown}) EXPECT_EQ(store->get(r.id)->link_id, 0) << r.id;
  EXPECT_EQ(listed().size(), 5u);
  // Just within: 4.9 kHz off, overlapping by a millisecond.
  const CallRecord near = add(2, kT0 + 3999, 1000, kFm - 4900, 10);
  EXPECT_EQ(near.link_id, a.id);
}

// Calls carry a pre-roll and a hang beyond what was heard: a reply on the same frequency right
// after a transmission overlaps it by less than those, and is another transmission.
TEST_F(CallLinksTest, ThePreRollAndTheHangDoNotMakeAReplyTheSameTransmission) {
  store->link_margin_ms = 800 + 2000;
  const CallRecord a = add(1, kT0, 6000, kFm, 10);
  const CallRecord reply = add(2, kT0 + 3500, 4000, kFm, 10);  // heard from 4.3 s, after a's 4.0 s
  EXPECT_EQ(reply.link_id, 0);
  const CallRecord same = add(3, kT0 + 300, 6000, kFm, 10);  // heard 1.1 s to 4.3 s: with a, up to the reply
  EXPECT_EQ(same.link_id, a.id);
  EXPECT_EQ(store->linked_recordings({a.id}).size(), 2u);
  EXPECT_EQ(store->get(reply.id)->link_id, 0);
}

TEST_F(CallLinksTest, EqualSignalsKeepTheEarlierRecordingShown) {
  const CallRecord a = add(1, kT0, 4000, kFm, 20);
  const CallRecord b = add(2, kT0 + 100, 4000, kFm, 20);
  EXPECT_FALSE(b.shown);
  EXPECT_EQ(listed(), std::vector<std::int64_t>{a.id});
}

TEST_F(CallLinksTest, ASearchFindsTheTransmissionOnceByTheTagsOfEitherRecording) {
  const CallRecord a = add(1, kT0, 4000, kFm, 10, "FIRE DISP");
  const CallRecord b = add(2, kT0 + 500, 4000, kFm, 30, "COUNTY");
  add(3, kT0 + 60'000, 4000, kFm, 10, "FIRE DISP");  // another transmission later
  EXPECT_EQ(search("county"), std::vector<std::int64_t>{b.id});
  // Channel 1's tag finds the transmission, shown as channel 2's recording.
  EXPECT_EQ(search("disp").size(), 2u);
  EXPECT_EQ(search("disp").back(), b.id);
  EXPECT_EQ(search("broadcast").size(), 2u);
  CallQuery q;
  q.text = "disp";
  q.channel = 1;
  EXPECT_EQ(listed(q), std::vector<std::int64_t>{a.id});
}

TEST_F(CallLinksTest, SeparatingLinkedCallsListsEachAgainAndKeepsThemApart) {
  const CallRecord a = add(1, kT0, 4000, kFm, 10, "FIRE DISP");
  const CallRecord b = add(2, kT0 + 500, 4000, kFm, 30, "COUNTY");
  ASSERT_EQ(listed().size(), 1u);
  EXPECT_EQ(store->unlink(a.id), (std::vector<std::int64_t>{b.id, a.id}));
  EXPECT_EQ(listed(), (std::vector<std::int64_t>{b.id, a.id}));
  EXPECT_EQ(search("disp"), std::vector<std::int64_t>{a.id});  // each its own text again
  EXPECT_EQ(search("county"), std::vector<std::int64_t>{b.id});
  EXPECT_FALSE(store->get(b.id)->duplicate);
  // A third radio overlapping both does not link them again.
  const CallRecord c = add(4, kT0 + 1000, 2000, kFm, 50);
  EXPECT_EQ(c.link_id, 0);
  EXPECT_EQ(listed().size(), 3u);
  EXPECT_TRUE(store->unlink(c.id).empty());  // not linked: nothing to do
}

TEST_F(CallLinksTest, RetentionRemovingOneRecordingLeavesTheOtherListed) {
  const CallRecord a = add(1, kT0, 4000, kFm, 30, "FIRE DISP");  // the better one, oldest
  const CallRecord b = add(2, kT0 + 500, 4000, kFm, 10, "COUNTY");
  ASSERT_EQ(listed(), std::vector<std::int64_t>{a.id});
  // Two MiB kept of three: the oldest goes.
  add(3, kT0 + 60'000, 1000, kFm, 10);
  EXPECT_EQ(store->retain(0, 2, kT0 + 61'000), 1);
  EXPECT_FALSE(store->get(a.id));
  const auto left = store->get(b.id);
  ASSERT_TRUE(left);
  EXPECT_TRUE(left->shown);
  EXPECT_EQ(left->link_id, 0);
  EXPECT_EQ(listed().back(), b.id);
  EXPECT_EQ(search("county"), std::vector<std::int64_t>{b.id});
  EXPECT_TRUE(search("disp").empty());
}

TEST_F(CallLinksTest, TheApiShowsTheChannelsTheBestRecordingAndTheOthersAndSeparatesThem) {
  const CallRecord a = add(1, kT0, 4000, kFm, 10);
  const CallRecord b = add(4, kT0 + 500, 4000, kFm, 30);
  add(2, kT0 + 60'000, 1000, kFm, 10);
  auto calls = nlohmann::json::parse(handle_calls_request(*store, {"/api/calls", "", "", "", false}).body)["calls"];
  ASSERT_EQ(calls.size(), 2u);
  const auto& t = calls[1];
  EXPECT_EQ(t["id"], b.id);
  EXPECT_EQ(t["heard_on"], nlohmann::json({1, 4}));
  EXPECT_EQ(t["best"], b.id);
  ASSERT_EQ(t["linked"].size(), 1u);
  EXPECT_EQ(t["linked"][0]["id"], a.id);
  EXPECT_EQ(t["linked"][0]["channel"], 1);
  EXPECT_EQ(t["linked"][0]["audio"], "/api/calls/" + std::to_string(a.id) + "/audio");
  EXPECT_EQ(calls[0]["heard_on"], nlohmann::json({2}));
  EXPECT_EQ(calls[0]["linked"].size(), 0u);
  // Channel 1's list: its own recording, which says which one is played.
  const auto ch1 = nlohmann::json::parse(handle_calls_request(*store, {"/api/calls", "channel=1", "", "", false}).body)["calls"];
  ASSERT_EQ(ch1.size(), 1u);
  EXPECT_EQ(ch1[0]["id"], a.id);
  EXPECT_EQ(ch1[0]["best"], b.id);

  EXPECT_EQ(handle_unlink_request(*store, "{\"id\": 99}").status, 404);
  EXPECT_EQ(handle_unlink_request(*store, "{\"id\": \"x\"}").status, 400);
  const auto r = handle_unlink_request(*store, "{\"id\": " + std::to_string(b.id) + "}");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(nlohmann::json::parse(r.body)["unlinked"].size(), 2u);
  calls = nlohmann::json::parse(handle_calls_request(*store, {"/api/calls", "", "", "", false}).body)["calls"];
  EXPECT_EQ(calls.size(), 3u);
}

// The listeners' page gathers the calls of the channels a listener may hear, channel by channel:
// a transmission two of them heard is shown once, as the recording the list plays when it is
// among them, else as the stronger of those there.
TEST_F(CallLinksTest, TheListenersRecentCallsHoldEachTransmissionOnce) {
  const CallRecord a = add(1, kT0, 4000, kFm, 10);
  const CallRecord b = add(2, kT0 + 500, 4000, kFm, 20);
  const CallRecord c = add(3, kT0 + 900, 4000, kFm, 60);  // the one played
  const CallRecord alone = add(4, kT0 + 60'000, 4000, kFm, 5);
  auto ids = [&](std::vector<int> channels) {
    std::vector<CallRecord> gathered;
    for (int ch : channels) {
      CallQuery q;
      q.channel = ch;
      for (auto& r : store->find(q).calls) gathered.push_back(r);
    }
    std::sort(gathered.begin(), gathered.end(), [](const CallRecord& x, const CallRecord& y) { return x.id > y.id; });
    std::vector<std::int64_t> out;
    for (const auto& r : once_per_transmission(gathered)) out.push_back(r.id);
    return out;
  };
  EXPECT_EQ(ids({1, 2, 3, 4}), (std::vector<std::int64_t>{alone.id, c.id}));
  EXPECT_EQ(ids({1, 2}), std::vector<std::int64_t>{b.id});
  EXPECT_EQ(ids({1}), std::vector<std::int64_t>{a.id});
}

// Linking is part of storing: when it cannot be done, the call is not stored either (the filer
// keeps its file and tries again), so no crash or failure leaves a call stored but not linked.
TEST_F(CallLinksTest, ACallIsStoredAndLinkedTogetherOrNotAtAll) {
  const CallRecord a = add(1, kT0, 4000, kFm, 10);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "calls.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TRIGGER no_links BEFORE UPDATE OF link_id ON calls BEGIN SELECT RAISE(ABORT, 'no links'); END",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_THROW(add(2, kT0 + 500, 4000, kFm, 30, "COUNTY"), StoreError);
  EXPECT_EQ(store->count(), 1);
  EXPECT_TRUE(search("county").empty());
  EXPECT_EQ(store->get(a.id)->link_id, 0);
  ASSERT_EQ(sqlite3_exec(db, "DROP TRIGGER no_links", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  const CallRecord b = add(2, kT0 + 500, 4000, kFm, 30, "COUNTY");
  EXPECT_EQ(b.link_id, a.id);
  EXPECT_EQ(listed(), std::vector<std::int64_t>{b.id});
}

TEST_F(CallLinksTest, AnIndexOfAnEarlierVersionGetsTheLinkColumnsKeepingItsCalls) {
  store.reset();
  fs::remove_all(dir);
  fs::create_directories(dir / "2026/12/08");
  std::ofstream(dir / "2026/12/08/c1-old.opus") << "OggS";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "calls.db").c_str(), &db), SQLITE_OK);
  const char* old =
      "CREATE TABLE calls (id INTEGER PRIMARY KEY, site TEXT NOT NULL, channel INTEGER NOT NULL, start_ms INTEGER NOT NULL, "
      "duration_ms INTEGER NOT NULL, frequency_hz INTEGER NOT NULL, modulation TEXT NOT NULL, d1 TEXT NOT NULL, d2 TEXT NOT NULL, "
      "d3 TEXT NOT NULL, d4 TEXT NOT NULL, signal_max INTEGER NOT NULL, tone TEXT NOT NULL, part INTEGER NOT NULL, "
      "prev_id INTEGER NOT NULL, file TEXT NOT NULL UNIQUE, bytes INTEGER NOT NULL);"
      "CREATE VIRTUAL TABLE calls_text USING fts5 (tags, display);"
      "INSERT INTO calls VALUES (1, 'hq', 1, 1796000000000, 4000, 100200000, 'WFM', '', '', 'OLD', '', 5, '', 1, 0, "
      "'2026/12/08/c1-old.opus', 4);"
      "INSERT INTO calls_text (rowid, tags, display) VALUES (1, 'OLD', 'OLD');";
  ASSERT_EQ(sqlite3_exec(db, old, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
  store = std::make_unique<CallStore>(dir);
  EXPECT_EQ(listed(), std::vector<std::int64_t>{1});
  const CallRecord b = add(2, kT0 + 500, 4000, kFm, 30);
  EXPECT_EQ(b.link_id, 1);
  EXPECT_EQ(listed(), std::vector<std::int64_t>{b.id});
  EXPECT_EQ(search("old"), std::vector<std::int64_t>{b.id});
}

}  // namespace
}  // namespace quillon::calls

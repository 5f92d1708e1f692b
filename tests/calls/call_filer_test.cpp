// The filer on a real index in a temporary folder: more calls waiting than it keeps in memory
// still go in in order, and a row file it did not write is left alone, not trusted.

#include <gtest/gtest.h>

#include <fstream>

#include "calls/call_filer.hpp"
#include "core/virtual_event_loop.hpp"
#include "index_holder.hpp"

namespace quillon::calls {
namespace {

namespace fs = std::filesystem;

class CallFilerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-filer-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    store = std::make_unique<CallStore>(dir);
  }
  void TearDown() override {
    store.reset();
    fs::remove_all(dir);
  }
  std::unique_ptr<CallFiler> filer(std::size_t max_held) {
    auto f = std::make_unique<CallFiler>(loop, *store, max_held);
    f->on_stored = [this](CallRecord& r) { stored.push_back(r.start_ms); };
    f->on_failed = [this](const CallRecord& r, const std::string&, bool) { lost.push_back(r.start_ms); };
    return f;
  }
  // A finished call of channel 1, its audio at its temporary name.
  CallRecord finished(std::int64_t start_ms, int part = 1) {
    CallRecord r;
    r.site = "hq";
    r.channel = 1;
    r.start_ms = start_ms;
    r.duration_ms = 1000;
    r.part = part;
    r.file = "2026/12/08/c1-" + std::to_string(start_ms) + ".opus";
    std::ofstream(store->temp_path(r.file)) << "OggS";
    return r;
  }

  VirtualEventLoop loop;
  fs::path dir;
  std::unique_ptr<CallStore> store;
  std::vector<std::int64_t> stored, lost;
};

TEST_F(CallFilerTest, MoreCallsThanItHoldsInMemoryGoInInOrderAndPartsStayLinked) {
  auto f = filer(2);
  f->start();
  {
    test::IndexHolder holder(dir / "calls.db");
    for (int i = 1; i <= 7; ++i) f->file(finished(i * 1000, i == 5 ? 2 : 1));
    loop.advance(Millis(2500));
    EXPECT_EQ(f->waiting(), 7u);
  }
  for (int i = 0; i < 40 && stored.size() < 7; ++i) loop.advance(Millis(100));
  EXPECT_EQ(stored, (std::vector<std::int64_t>{1000, 2000, 3000, 4000, 5000, 6000, 7000}));
  EXPECT_TRUE(lost.empty());
  EXPECT_EQ(f->waiting(), 0u);
  EXPECT_TRUE(fs::is_empty(store->incoming()));
  // The second part names the call before it, which waited as well.
  const auto page = store->find({});
  ASSERT_EQ(page.calls.size(), 7u);
  EXPECT_EQ(page.calls[2].part, 2);
  EXPECT_EQ(page.calls[2].prev_id, page.calls[3].id);
}

TEST_F(CallFilerTest, ARowFileItDidNotWriteIsLeftAloneAndTheOthersGoOn) {
  {
    auto f = filer(10);
    f->start();
    test::IndexHolder holder(dir / "calls.db");
    f->file(finished(1000));
  }
  // Not JSON, and a copy of another call's row under a name of its own.
  std::ofstream(store->row_path("2026/12/08/c2-1.opus")) << "{\"order\": 1, \"fi";
  std::ofstream(store->temp_path("2026/12/08/c2-1.opus")) << "OggS";
  std::ofstream(store->row_path("2026/12/08/c2-2.opus")) << std::ifstream(store->row_path("2026/12/08/c1-1000.opus")).rdbuf();
  auto f = filer(10);
  f->load();
  f->start();
  loop.advance(Millis(100));
  EXPECT_EQ(stored, std::vector<std::int64_t>{1000});
  EXPECT_EQ(store->count(), 1);
  EXPECT_TRUE(fs::exists(store->row_path("2026/12/08/c2-1.opus")));
  EXPECT_TRUE(fs::exists(store->temp_path("2026/12/08/c2-1.opus")));
}

}  // namespace
}  // namespace quillon::calls

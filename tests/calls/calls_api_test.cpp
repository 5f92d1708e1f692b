// The calls over HTTP apart from any server: what a search accepts and says, and answering while
// another process holds the index.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "calls/calls_api.hpp"
#include "index_holder.hpp"

namespace quillon::calls {
namespace {

namespace fs = std::filesystem;

class CallsApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-calls-api-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    store = std::make_unique<CallStore>(dir);
    for (const char* tag : {"MARINE 16", "AMBULANSE", "Næringsliv é"}) {
      CallRecord r;
      r.site = "hq";
      r.channel = 1;
      r.start_ms = 1'796'000'000'000 + store->count() * 10'000;
      r.duration_ms = 2000;
      r.display = {"SCAN", "156.8000 NFM", tag, "SEA"};
      r.file = "2026/12/08/c1-" + std::to_string(store->count()) + ".opus";
      store->add(r);
    }
  }
  void TearDown() override {
    store.reset();
    fs::remove_all(dir);
  }
  ApiReply list(const std::string& query) { return handle_calls_request(*store, {"/api/calls", query, "", "", false}); }
  static std::string error_of(const ApiReply& r) { return nlohmann::json::parse(r.body).value("error", ""); }

  fs::path dir;
  std::unique_ptr<CallStore> store;
};

TEST_F(CallsApiTest, ASearchCountsCharactersAndRefusesWhatItCannotSearchSayingWhy) {
  auto found = [&](const std::string& q) { return nlohmann::json::parse(list("q=" + q).body)["calls"].size(); };
  EXPECT_EQ(found("MAR"), 1u);
  EXPECT_EQ(found("N%C3%A6ring"), 1u);
  EXPECT_EQ(found("MAR%0A16"), 1u);  // a line end separates words
  // A control character is not searched for and not silently answered with nothing.
  for (const char* q : {"MAR%00", "MAR%1B", "%01"}) {
    const auto r = list(std::string("q=") + q);
    EXPECT_EQ(r.status, 400) << q;
    EXPECT_EQ(error_of(r).rfind("q: ", 0), 0u) << q << ": " << r.body;
  }
  // Not UTF-8: a lone continuation byte, an overlong form, a cut sequence.
  for (const char* q : {"%80", "%C0%AF", "MAR%C3"}) EXPECT_EQ(list(std::string("q=") + q).status, 400) << q;
  // 200 characters, whatever their bytes.
  std::string e150, e201;
  for (int i = 0; i < 150; ++i) e150 += "%C3%A9";
  for (int i = 0; i < 201; ++i) e201 += "e";
  EXPECT_EQ(list("q=" + e150).status, 200);
  const auto long_one = list("q=" + e201);
  EXPECT_EQ(long_one.status, 400);
  EXPECT_EQ(error_of(long_one), "q: expected at most 200 characters");
}

TEST_F(CallsApiTest, ListingAndPlayingGoOnWhileAnotherProcessHoldsTheIndex) {
  test::IndexHolder holder(dir / "calls.db");
  const auto r = list("limit=2");
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(nlohmann::json::parse(r.body)["calls"].size(), 2u);
}

}  // namespace
}  // namespace quillon::calls

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "frame_reader.hpp"

namespace quillon::client {
namespace {

const std::string kBody =
    "LCD1 146.5200\r\nStep: 12.5\r\nNGX=0\r\nframe=7 49530.27 13:45:30\r\ndelay1=XXX\r\nreadout1=1000\r\nport1=1010\r\n"
    "port2=\r\nport3=1011\r\naudiostat:run\r\ncodecstat:ok\r\nipstat:srv\r\nNUMCOM1:2\r\nNUMCOM2:0\r\nNUMCOM3:0\r\n"
    "NUMCOM4:0\r\nNetsendT1:1000\r\nNetsendT2:2000\r\nNetsendT3:1000\r\nNetsendT4:1000\r\nsample08000\r\nclients1\r\n"
    "maxclients6\r\nVER:1.30\r\nSITENAME:Harbour\r\nUDP:False";

TEST(FrameSplitter, ChannelOneFramesSplitAtTheSlotNumber) {
  FrameSplitter s;
  // Two frames and a version reply in one read, then a frame in pieces.
  s.feed(kBody + "*2" + "?VER=1.21" + kBody + "*2" + kBody.substr(0, 40));
  auto a = s.next(false);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->kind, Item::Kind::Frame);
  EXPECT_EQ(a->text, kBody);
  EXPECT_EQ(a->slot, 2);
  auto r = s.next(false);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->kind, Item::Kind::Reply);
  auto b = s.next(false);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->slot, 2);
  EXPECT_FALSE(s.next(false));
  EXPECT_FALSE(s.next(true));  // incomplete, even when quiet
  s.feed(kBody.substr(40) + "*");
  EXPECT_FALSE(s.next(false));  // the slot digit is still to come
  s.feed("3");
  auto c = s.next(false);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->text, kBody);
  EXPECT_EQ(c->slot, 3);
  EXPECT_TRUE(s.pending().empty());
}

TEST(FrameSplitter, BareFramesEndWhenTheNextBeginsOrTheLineIsQuiet) {
  FrameSplitter s;
  s.feed(kBody);
  EXPECT_FALSE(s.next(false));  // a "*n" could follow
  auto a = s.next(true);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->slot, 0);
  // The next frame's first bytes end the previous one.
  s.feed(kBody + kBody.substr(0, 10));
  auto b = s.next(false);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->text, kBody);
  EXPECT_EQ(s.pending(), kBody.substr(0, 10));
  // Something that never ends a frame is not kept without bound.
  s.feed(std::string(FrameSplitter::kMaxPending * 2, 'z'));
  EXPECT_LE(s.pending().size(), FrameSplitter::kMaxPending);
}

TEST(ParseFrame, FieldPerLabel) {
  const ParsedFrame p = parse_frame(kBody);
  EXPECT_EQ(p.display, (std::vector<std::string>{"LCD1 146.5200", "Step: 12.5", "NGX=0"}));
  ASSERT_TRUE(p.field("frame"));
  EXPECT_EQ(*p.field("frame"), "7");
  EXPECT_EQ(*p.field("seconds"), "49530.27");
  EXPECT_EQ(*p.field("time"), "13:45:30");
  EXPECT_EQ(*p.field("port2"), "");
  EXPECT_EQ(*p.field("sample0"), "8000");
  EXPECT_EQ(*p.field("clients"), "1");
  EXPECT_EQ(*p.field("maxclients"), "6");
  EXPECT_EQ(*p.field("SITENAME"), "Harbour");
  EXPECT_EQ(*p.field("UDP"), "False");
  EXPECT_EQ(p.fields.size(), 25u);
  const auto j = nlohmann::json::parse(frame_json(Item{Item::Kind::Frame, kBody, 4}));
  EXPECT_EQ(j["slot"], 4);
  EXPECT_EQ(j["NUMCOM1"], "2");
  EXPECT_EQ(j["display"][0], "LCD1 146.5200");
  // Bytes that are not UTF-8 still give a line of JSON.
  EXPECT_NO_THROW(nlohmann::json::parse(frame_json(Item{Item::Kind::Frame, "\xff\xfe" + kBody, 0})));
}

TEST(WireForm, ScannerCommandsGetTheirHashKeywordsGoRaw) {
  EXPECT_EQ(wire_form("ST"), "ST#");
  EXPECT_EQ(wire_form("ST#\n"), "ST#");
  EXPECT_EQ(wire_form("GET VER?"), "GET VER?");
  EXPECT_EQ(wire_form("SET DELAY7A=500#"), "SET DELAY7A=500#");
  EXPECT_EQ(wire_form("SET AUDIO1=2\r\n"), "SET AUDIO1=2");
  EXPECT_EQ(wire_form("CLR"), "CLR#");
  EXPECT_EQ(wire_form("!raw text"), "raw text");
  EXPECT_EQ(wire_form(""), std::nullopt);
  EXPECT_EQ(wire_form("!"), std::nullopt);
}

}  // namespace
}  // namespace quillon::client

// Paging tones on made-up radio audio: pages at the configured frequencies are found once, at
// their end, through noise and between spoken messages; tones off frequency, too short, in the
// wrong order or too quiet are not; long stretches of speech and noise raise nothing.

#include "audio/paging_tones.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/tone_audio.hpp"

namespace quillon::audio {
namespace {

using test::RadioAudio;

constexpr double kAmp = 8000;  // about -12 dBFS

ToneSet two_tone(std::string name, double a, double b) {
  ToneSet s;
  s.name = std::move(name);
  s.a_hz = a;
  s.b_hz = b;
  return s;
}
ToneSet long_tone(std::string name, double hz) {
  ToneSet s;
  s.name = std::move(name);
  s.a_hz = hz;
  return s;
}

// Everything the detector reports for `audio`, fed in chunks of `chunk` samples.
std::vector<ToneOut> detect(PagingToneDetector& d, const std::vector<std::int16_t>& audio, std::size_t chunk = 320) {
  std::vector<ToneOut> all;
  for (std::size_t i = 0; i < audio.size(); i += chunk) {
    auto out = d.feed(audio.data() + i, std::min(chunk, audio.size() - i));
    all.insert(all.end(), out.begin(), out.end());
  }
  return all;
}

std::vector<ToneOut> detect(const std::vector<ToneSet>& sets, const RadioAudio& audio) {
  PagingToneDetector d(sets, audio.rate());
  return detect(d, audio.samples());
}

// A page: half a second of noise, tone A, the gap, tone B, half a second of noise after.
// Returns the sample where tone B ended.
std::int64_t page(RadioAudio& a, double hz_a, int ms_a, std::optional<double> hz_b, int ms_b, int gap_ms = 0) {
  a.silence(500);
  a.tone(hz_a, ms_a, kAmp);
  if (hz_b) {
    if (gap_ms > 0) a.silence(gap_ms);
    a.tone(*hz_b, ms_b, kAmp);
  }
  const std::int64_t end = a.size();
  a.silence(500);
  return end;
}

// Within 40 ms of the real end (the detector decides per 20 ms block).
void expect_one(const std::vector<ToneOut>& got, std::size_t set, std::int64_t end, int rate) {
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].set, set);
  EXPECT_NEAR(static_cast<double>(got[0].end_sample), static_cast<double>(end), 0.04 * rate);
}

TEST(PagingTones, TwoTonePagesAreFoundThroughNoiseAcrossTheQuickCallRange) {
  const std::vector<ToneSet> sets{two_tone("low", 288.5, 321.7), two_tone("mid", 853.2, 1083.0),
                                  two_tone("high", 2334.6, 1930.2), two_tone("neighbours", 288.5, 296.5)};
  for (std::size_t s = 0; s < sets.size(); ++s) {
    for (const double snr : {30.0, 10.0, 6.0, 3.0}) {
      for (const int gap : {0, 60, 100}) {
        RadioAudio a(8000, static_cast<std::uint32_t>(s * 100 + gap + snr));
        a.noise_for(kAmp, snr);
        const std::int64_t end = page(a, sets[s].a_hz, 1000, sets[s].b_hz, 3000, gap);
        SCOPED_TRACE(sets[s].name + " at " + std::to_string(snr) + " dB, gap " + std::to_string(gap) + " ms");
        expect_one(detect(sets, a), s, end, 8000);
      }
    }
  }
}

TEST(PagingTones, PagesAreFoundAtEveryCaptureRateAndChunking) {
  const std::vector<ToneSet> sets{two_tone("station 7", 853.2, 1083.0), long_tone("all call", 1000)};
  for (const int rate : {8000, 11025, 44100, 48000}) {
    RadioAudio a(rate, 3);
    a.noise_for(kAmp, 10);
    const std::int64_t page_end = page(a, 853.2, 800, 1083.0, 2500);
    const std::int64_t long_end = page(a, 1000, 2000, std::nullopt, 0);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{441}, std::size_t{100000}}) {
      SCOPED_TRACE(std::to_string(rate) + " Hz in chunks of " + std::to_string(chunk));
      PagingToneDetector d(sets, rate);
      const auto got = detect(d, a.samples(), chunk);
      ASSERT_EQ(got.size(), 2u);
      EXPECT_EQ(got[0].set, 0u);
      EXPECT_NEAR(static_cast<double>(got[0].end_sample), static_cast<double>(page_end), 0.04 * rate);
      EXPECT_EQ(got[1].set, 1u);
      EXPECT_NEAR(static_cast<double>(got[1].end_sample), static_cast<double>(long_end), 0.04 * rate);
    }
  }
}

// Reported within 100 ms of the tone's end, however long the tone went on.
TEST(PagingTones, ToneOutsComeSoonAfterTheToneEndsAlsoAfterAStuckCarrier) {
  const std::vector<ToneSet> sets{two_tone("station", 600.9, 746.8), long_tone("long", 1500)};
  RadioAudio a(8000, 5);
  a.noise_for(kAmp, 20);
  const std::int64_t page_end = page(a, 600.9, 1000, 746.8, 3000);
  const std::int64_t stuck_end = page(a, 1500, 90'000, std::nullopt, 0);
  PagingToneDetector d(sets, 8000);
  std::vector<std::pair<ToneOut, std::int64_t>> seen;  // with the samples fed when it came
  for (std::size_t i = 0; i < a.samples().size(); i += 80) {
    for (const ToneOut& t : d.feed(a.samples().data() + i, std::min<std::size_t>(80, a.samples().size() - i)))
      seen.emplace_back(t, d.samples_fed());
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].first.set, 0u);
  EXPECT_LE(seen[0].second, page_end + 800);
  EXPECT_EQ(seen[1].first.set, 1u);
  EXPECT_LE(seen[1].second, stuck_end + 800);
  EXPECT_NEAR(static_cast<double>(seen[1].first.end_sample), static_cast<double>(stuck_end), 320);
}

TEST(PagingTones, OffFrequencyShortReversedGappedAndQuietTonesAreNotPages) {
  const std::vector<ToneSet> sets{two_tone("low", 288.5, 321.7), two_tone("mid", 853.2, 1083.0), long_tone("long", 1000)};
  struct Case {
    const char* what;
    double a;
    std::optional<double> b;
    int a_ms, b_ms, gap_ms;
    double amp;
  };
  const std::vector<Case> cases{
      {"both tones 3 % high", 853.2 * 1.03, 1083.0 * 1.03, 1000, 3000, 0, kAmp},
      {"both tones 3 % low", 288.5 * 0.97, 321.7 * 0.97, 1000, 3000, 0, kAmp},
      {"tone A 3 % high", 288.5 * 1.03, 321.7, 1000, 3000, 0, kAmp},
      {"tone B 3 % low", 853.2, 1083.0 * 0.97, 1000, 3000, 0, kAmp},
      {"tone A 2 % high", 853.2 * 1.02, 1083.0, 1000, 3000, 0, kAmp},
      {"long tone 3 % high", 1030, std::nullopt, 3000, 0, 0, kAmp},
      {"tone A too short", 853.2, 1083.0, 500, 3000, 0, kAmp},
      {"tone B too short", 853.2, 1083.0, 1000, 1800, 0, kAmp},
      {"long tone too short", 1000, std::nullopt, 1500, 0, 0, kAmp},
      {"B then A", 1083.0, 853.2, 1000, 3000, 0, kAmp},
      {"a pause between A and B", 853.2, 1083.0, 1000, 3000, 400, kAmp},
      {"below -30 dBFS", 853.2, 1083.0, 1000, 3000, 0, 32768 * std::pow(10.0, -36 / 20.0)},
  };
  for (const Case& c : cases) {
    RadioAudio a(8000, 9);
    a.noise_for(kAmp, 30);
    a.silence(500);
    a.tone(c.a, c.a_ms, c.amp);
    a.silence(c.gap_ms);
    if (c.b) a.tone(*c.b, c.b_ms, c.amp);
    a.silence(500);
    EXPECT_TRUE(detect(sets, a).empty()) << c.what;
  }
  // Just inside the tolerance still counts.
  RadioAudio a(8000, 11);
  a.noise_for(kAmp, 20);
  const std::int64_t end = page(a, 853.2 * 1.013, 1000, 1083.0 * 0.987, 3000);
  expect_one(detect(sets, a), 1, end, 8000);
}

TEST(PagingTones, LongToneAndTwoToneSetsSharingAFrequencyEachGetTheirOwnPages) {
  const std::vector<ToneSet> sets{long_tone("long 1000", 1000), two_tone("1500 then 1000", 1500, 1000),
                                  long_tone("long 1500", 1500)};
  RadioAudio a(8000, 13);
  a.noise_for(kAmp, 20);
  const std::int64_t pair_end = page(a, 1500, 1000, 1000.0, 3000);
  const std::int64_t long_end = page(a, 1000, 2500, std::nullopt, 0);
  const std::int64_t long_a_end = page(a, 1500, 2200, std::nullopt, 0);
  const auto got = detect(sets, a);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].set, 1u);
  EXPECT_NEAR(static_cast<double>(got[0].end_sample), static_cast<double>(pair_end), 320);
  EXPECT_EQ(got[1].set, 0u);
  EXPECT_NEAR(static_cast<double>(got[1].end_sample), static_cast<double>(long_end), 320);
  EXPECT_EQ(got[2].set, 2u);
  EXPECT_NEAR(static_cast<double>(got[2].end_sample), static_cast<double>(long_a_end), 320);
}

// A dispatcher pages station after station without a pause, and sends the first page twice;
// stations 1 and 2 share tone A, station 3's A is station 1's B.
TEST(PagingTones, StationsPagedBackToBackAreEachFoundOnceInTurn) {
  const std::vector<ToneSet> sets{two_tone("station 1", 569.1, 746.8), two_tone("station 2", 569.1, 1153.4),
                                  two_tone("station 3", 746.8, 1513.5)};
  RadioAudio a(8000, 21);
  a.noise_for(kAmp, 10);
  a.silence(300);
  std::vector<std::int64_t> ends;
  for (const std::size_t s : {0, 0, 1, 2}) {
    a.tone(sets[s].a_hz, 1000, kAmp);
    a.tone(*sets[s].b_hz, 3000, kAmp);
    ends.push_back(a.size());
  }
  a.silence(300);
  const auto got = detect(sets, a);
  ASSERT_EQ(got.size(), 4u);
  const std::size_t want[] = {0, 0, 1, 2};
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].set, want[i]) << i;
    EXPECT_NEAR(static_cast<double>(got[i].end_sample), static_cast<double>(ends[i]), 320) << i;
  }
}

TEST(PagingTones, SetsThatCannotBeHeardAreKeptButNeverReported) {
  ToneSet nan = two_tone("nan", std::numeric_limits<double>::quiet_NaN(), 1000);
  ToneSet above = long_tone("above half the rate", 4100);
  ToneSet zero = long_tone("no frequency", 0);
  ToneSet bad_tol = long_tone("no tolerance", 1000);
  bad_tol.tolerance_pct = -1;
  ToneSet negative = long_tone("negative length", 1000);
  negative.long_ms = -5;
  const std::vector<ToneSet> sets{nan, above, zero, bad_tol, negative, two_tone("B too high", 1500, 4500)};
  PagingToneDetector d(sets, 8000);
  EXPECT_EQ(d.sets().size(), 6u);
  EXPECT_EQ(d.filters(), 1u);  // only the negative length's 1000 Hz
  RadioAudio a(8000);
  page(a, 1000, 2000, std::nullopt, 0);
  const auto got = detect(d, a.samples());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].set, 4u);  // a negative length is no length: any tone will do
  EXPECT_TRUE(d.feed(nullptr, 100).empty());
  PagingToneDetector no_rate(sets, 0);
  EXPECT_TRUE(detect(no_rate, a.samples()).empty());
}

// Spoken dispatch around a page: the page is found once; ten minutes of speech over noise,
// heard by a detector with 80 two-tone sets and 20 long tones on the Quick Call frequencies,
// raise nothing.
TEST(PagingTones, SpeechAroundPagesIsNeverAPage) {
  if (!test::have_espeak()) GTEST_SKIP() << "espeak-ng is not installed";
  const auto speech = test::dispatch_speech(8000);
  ASSERT_FALSE(speech.empty());
  const auto& qc = test::quick_call_tones();
  std::vector<ToneSet> sets;
  for (std::size_t i = 0; i < 80; ++i) sets.push_back(two_tone("pair", qc[i], qc[(i * 7 + 3) % qc.size()]));
  for (std::size_t i = 0; i < 20; ++i) sets.push_back(long_tone("long", qc[i * 4]));
  sets.push_back(two_tone("station 7", 853.2, 1083.0));

  RadioAudio a(8000, 17);
  a.noise(300);
  a.add(speech[0]);
  const std::int64_t end = page(a, 853.2, 1000, 1083.0, 3000);
  a.add(speech[1]);
  expect_one(detect(sets, a), sets.size() - 1, end, 8000);

  PagingToneDetector d(sets, 8000);
  RadioAudio talk(8000, 19);
  std::size_t found = 0;
  for (int round = 0; round < 1000; ++round) {
    talk.clear();
    talk.noise(round % 3 == 0 ? 100 : 600);
    for (std::size_t k = 0; k < speech.size(); ++k) {
      talk.add(speech[(k + static_cast<std::size_t>(round)) % speech.size()], 0.5 + 0.25 * (round % 4));
      talk.silence(200 + 150 * (round % 5));
    }
    found += detect(d, talk.samples()).size();
    if (d.samples_fed() >= 10LL * 60 * 8000) break;
  }
  EXPECT_GE(d.samples_fed(), 10LL * 60 * 8000);
  EXPECT_EQ(found, 0u);
}

}  // namespace
}  // namespace quillon::audio

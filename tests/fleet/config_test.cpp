// The configuration file: every key read, every fault named with file, line and key, secrets
// kept private, the shipped example valid, and --check-config on the real binary.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "fleet/config.hpp"
#include "support/fakes.hpp"
#include "support/process.hpp"

namespace quillon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(Config, ReadsEveryKeyAndNamesEachFaultWithFileLineAndKey) {
  const auto dir = test::fresh_temp_dir("config");
  std::ofstream(dir / "mqtt.secret") << "s3cret\n";
  fs::permissions(dir / "mqtt.secret", fs::perms::owner_read | fs::perms::owner_write);
  const auto c = config::parse(R"(
[site]
name = "north"

[mqtt]
host = "broker.example.net"
username = "quillon"
password_file = "mqtt.secret"
topic_prefix = "radios/north"
client_id = "north-1"
keepalive_seconds = 20
state_interval_ms = 500
commands = true
discovery = true
discovery_prefix = "ha"

[listen]
public_port = 8000
max_listeners = 10
opus_bitrate = 32
opus_rate = 16000
mp3_bitrate = 64
mp3_rate = 44100

[calls]
channels = [1, 3]
hang_ms = 1500
gate = "both"
level_dbfs = -50
soft_max_s = 30
max_s = 120
keep_mb = 500
)", dir / "q.toml");
  EXPECT_TRUE(c.calls.enabled) << "the section turns recording on";
  EXPECT_EQ(c.calls.channels, (std::array<bool, 4>{true, false, true, false}));
  EXPECT_EQ(c.calls.hang_ms, 1500);
  EXPECT_EQ(c.calls.gate, "both");
  EXPECT_EQ(c.calls.level_dbfs, -50);
  EXPECT_EQ(c.calls.max_s, 120);
  EXPECT_EQ(c.calls.keep_mb, 500);
  EXPECT_EQ(c.calls.pre_roll_ms, 800);
  EXPECT_FALSE(config::parse("", dir / "empty.toml").calls.enabled);
  EXPECT_EQ(config::site_name(c), "north");
  EXPECT_TRUE(c.mqtt.enabled);
  EXPECT_EQ(c.mqtt.host, "broker.example.net");
  EXPECT_EQ(c.mqtt.port, 1883);  // the default without TLS
  EXPECT_EQ(c.mqtt.password, "s3cret");
  EXPECT_EQ(c.mqtt.topic_prefix, "radios/north");
  EXPECT_EQ(c.mqtt.client_id, "north-1");
  EXPECT_EQ(c.mqtt.keepalive_seconds, 20);
  EXPECT_EQ(c.mqtt.state_interval_ms, 500);
  EXPECT_TRUE(c.mqtt.commands && c.mqtt.discovery);
  EXPECT_EQ(c.mqtt.discovery_prefix, "ha");
  EXPECT_EQ(c.listen.public_port, 8000);
  EXPECT_EQ(c.listen.max_listeners, 10);
  EXPECT_EQ(c.listen.opus_bitrate, 32);
  EXPECT_EQ(c.listen.opus_rate, 16000);
  EXPECT_EQ(c.listen.mp3_bitrate, 64);
  EXPECT_EQ(c.listen.mp3_rate, 44100);
  const auto defaults = config::parse("", dir / "empty.toml").listen;
  EXPECT_EQ(defaults.public_port, 0) << "no public listening port unless asked for";
  EXPECT_EQ(defaults.max_listeners, 64);
  EXPECT_FALSE(config::parse("", dir / "empty.toml").mqtt.enabled);
  EXPECT_FALSE(config::parse("[mqtt]\nenabled = false\n", dir / "off.toml").mqtt.enabled);

  struct Bad {
    std::string text, where;
  };
  const std::vector<Bad> bad = {
      {"[mqtt]\nhost = \"h\"\nprot = 1\n", "b.toml:3: mqtt.prot: unknown key"},
      {"[mqtt]\nhost = \"h\"\nport = \"1883\"\n", "b.toml:3: mqtt.port: expected a whole number"},
      {"[mqtt]\nhost = \"h\"\n\nport = 70000\n", "b.toml:4: mqtt.port: expected a number from 1 to 65535"},
      {"[mqtt]\nhost = \"h\"\ncommands = 1\n", "b.toml:3: mqtt.commands: expected true or false"},
      {"[mqtt]\nport = 1883\n", "mqtt.host: missing"},
      {"[site]\nname = \"a/b\"\n", "b.toml:2: site.name:"},
      {"[mqtt]\nhost = \"h\"\ntopic_prefix = \"a/#\"\n", "b.toml:3: mqtt.topic_prefix:"},
      {"\n[audio]\nx = 1\n", "b.toml:2: audio: unknown section"},
      {"site = 3\n", "b.toml:1: site: expected a section"},
      {"[mqtt]\nhost = \"h\"\nusername = \"u\"\npassword_file = \"missing.secret\"\n", "b.toml:4: mqtt.password_file: cannot read"},
      {"[mqtt]\nhost = \"h\"\nca_file = \"ca.pem\"\n", "mqtt.tls: certificates are given but tls is not true"},
      {"[mqtt\nhost = 1\n", "b.toml:1:"},
      {"[listen]\npublic_port = 0\n", "b.toml:2: listen.public_port: expected a number from 1 to 65535"},
      {"[listen]\nopus_rate = 44100\n", "b.toml:2: listen.opus_rate: Opus takes 8000, 12000, 16000, 24000 or 48000 Hz"},
      {"[listen]\nmp3_rate = 22050\nmp3_bitrate = 17\n", "b.toml:3: listen.mp3_bitrate: MP3 at 16000 to 24000 Hz takes 8, 16"},
      {"[listen]\nmp3_rate = 44100\n", "b.toml:1: listen.mp3_bitrate: MP3 at 32000 Hz and above takes 32"},
      {"[listen]\nmp3_rate = 44000\n", "b.toml:2: listen.mp3_rate: MP3 takes"},
      {"[listen]\nmax_listeners = \"64\"\n", "b.toml:2: listen.max_listeners: expected a whole number"},
      // Floats where whole numbers belong, beyond what any integer holds.
      {"[mqtt]\nhost = \"h\"\nport = 1.5e61\n", "b.toml:3: mqtt.port: expected a whole number"},
      {"[calls]\nchannels = [-1e300]\n", "b.toml:2: calls.channels: expected channel numbers from 1 to 4"},
      {"[listen]\nmax_listeners = inf\n", "b.toml:2: listen.max_listeners: expected a whole number"},
      {"[calls]\ngate = \"vox\"\n", "b.toml:2: calls.gate: expected \"auto\", \"squelch\", \"level\" or \"both\""},
      {"[calls]\nchannels = [0, 5]\n", "b.toml:2: calls.channels: expected channel numbers from 1 to 4"},
      {"[calls]\nmax_s = 30\nsoft_max_s = 60\n", "b.toml:3: calls.soft_max_s: must not be above max_s"},
  };
  for (const auto& b : bad) {
    try {
      config::parse(b.text, dir / "b.toml");
      ADD_FAILURE() << "accepted: " << b.text;
    } catch (const config::ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(b.where), std::string::npos) << e.what() << "\nwanted: " << b.where;
    }
  }

  // A secret anyone may read is refused.
  fs::permissions(dir / "mqtt.secret", fs::perms::others_read, fs::perm_options::add);
  try {
    config::parse("[mqtt]\nhost = \"h\"\nusername = \"u\"\npassword_file = \"mqtt.secret\"\n", dir / "s.toml");
    ADD_FAILURE() << "a world-readable secret was accepted";
  } catch (const config::ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("readable by other users"), std::string::npos) << e.what();
  }
  fs::remove_all(dir);
}

TEST(Config, ListenersAccessCodesWithChannelsExpiryAndLimits) {
  const auto dir = test::fresh_temp_dir("config-codes");
  const auto l = config::parse(R"([listen]
max_live_listeners = 20
site_name = "Harbour Radio Club"
codes = [
  { label = "Club", code = "club-code-789" },
  { label = "Crew", code = "crew-code-123", channels = [2, 4], max_listeners = 3, expires = 2027-01-31T18:00:00+01:00 },
  { code = "day-pass-42", expires = 2027-01-31 },
]
)",
                               dir / "c.toml")
                     .listen;
  EXPECT_EQ(l.max_live_listeners, 20);
  EXPECT_EQ(l.site_name, "Harbour Radio Club");
  EXPECT_EQ(config::parse("", dir / "e.toml").listen.site_name, "Quillon");
  ASSERT_EQ(l.codes.size(), 3u);
  EXPECT_EQ(l.codes[0].label, "Club");
  EXPECT_EQ(l.codes[0].channels, (std::array<bool, 4>{true, true, true, true})) << "every channel unless limited";
  EXPECT_FALSE(l.codes[0].expires);
  EXPECT_EQ(l.codes[1].channels, (std::array<bool, 4>{false, true, false, true}));
  EXPECT_EQ(l.codes[1].max_listeners, 3);
  EXPECT_EQ(l.codes[1].expires, 1801414800) << "17:00 UTC";
  EXPECT_EQ(l.codes[2].label, "code 3");
  EXPECT_EQ(l.codes[2].expires, 1801353600) << "midnight UTC";
  EXPECT_TRUE(config::parse("", dir / "e.toml").listen.codes.empty()) << "no codes: the page is open";

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"[listen]\ncodes = [{ code = \"short\" }]\n", "listen.codes[0]: needs a code of at least 6 characters"},
      {"[listen]\ncodes = [{ code = \"abcdefg\" }, { code = \"abcdefg\" }]\n", "listen.codes[1]: the same code is given twice"},
      {"[listen]\ncodes = [{ code = \"abcdefg\", channels = [5] }]\n", "listen.codes[0].channels: expected channels from 1 to 4"},
      {"[listen]\ncodes = [{ code = \"abcdefg\", expires = \"soon\" }]\n", "listen.codes[0].expires: expected a date"},
      {"[listen]\ncodes = [{ code = \"abcdefg\", colour = 1 }]\n", "listen.codes[0].colour: unknown key"},
      {"[listen]\ntls_cert = \"c.pem\"\n", "listen.tls_key: TLS needs both tls_cert and tls_key"},
      {"[listen]\nsite_name = \"\"\n", "listen.site_name: expected 1 to 64 characters"},
      {"[listen]\nsite_name = \"a\\tb\"\n", "listen.site_name: must not hold control characters"},
  };
  for (const auto& [text, where] : bad) {
    try {
      config::parse(text, dir / "b.toml");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const config::ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(where), std::string::npos) << e.what() << "\nwanted: " << where;
    }
  }
  fs::remove_all(dir);
}

TEST(Config, IcecastSectionsPerChannelWithPasswordFromAPrivateFile) {
  const auto dir = test::fresh_temp_dir("config-icecast");
  std::ofstream(dir / "ice.secret") << "s0urce pw\nsecond line\n";
  fs::permissions(dir / "ice.secret", fs::perms::owner_read | fs::perms::owner_write);
  const auto c = config::parse(R"(
[icecast.1]
host = "ice.example.net"
mount = "/north1.ogg"
password_file = "ice.secret"
name = "North 1"

[icecast.3]
host = "10.0.0.7"
port = 8443
mount = "/north3.mp3"
format = "mp3"
user = "feeder"
password = "plain"
tls = true
description = "Harbour"
genre = "Scanner"
url = "https://example.net"
public = true
title_interval_seconds = 10

[icecast.4]
enabled = false
)", dir / "q.toml");
  const auto& a = c.icecast[0];
  EXPECT_TRUE(a.enabled);
  EXPECT_EQ(a.host, "ice.example.net");
  EXPECT_EQ(a.port, 8000);
  EXPECT_EQ(a.user, "source");
  EXPECT_EQ(a.password, "s0urce pw");
  EXPECT_EQ(a.format, audio::ListenFormat::Opus);
  EXPECT_EQ(a.name, "North 1");
  EXPECT_FALSE(c.icecast[1].enabled);
  const auto& b = c.icecast[2];
  EXPECT_TRUE(b.enabled && b.tls && b.is_public);
  EXPECT_EQ(b.port, 8443);
  EXPECT_EQ(b.format, audio::ListenFormat::Mp3);
  EXPECT_EQ(b.user, "feeder");
  EXPECT_EQ(b.password, "plain");
  EXPECT_EQ(b.description + "|" + b.genre + "|" + b.url, "Harbour|Scanner|https://example.net");
  EXPECT_EQ(b.title_interval_seconds, 10);
  EXPECT_FALSE(c.icecast[3].enabled);

  const std::string ok = "host = \"h\"\nmount = \"/m\"\npassword = \"p\"\n";
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"[icecast.5]\n" + ok, "b.toml:1: icecast.5: expected [icecast.N] with N from 1 to 4"},
      {"[icecast.1]\n" + ok + "format = \"aac\"\n", "b.toml:5: icecast.1.format: expected \"opus\" or \"mp3\""},
      {"[icecast.2]\nhost = \"h\"\nmount = \"m.ogg\"\npassword = \"p\"\n", "b.toml:3: icecast.2.mount: expected a mount point"},
      {"[icecast.1]\nhost = \"h\"\npassword = \"p\"\n", "icecast.1.mount: missing"},
      {"[icecast.1]\nhost = \"h\"\nmount = \"/m\"\n", "icecast.1.password_file: missing"},
      {"[icecast.1]\n" + ok + "password_file = \"ice.secret\"\n", "b.toml:5: icecast.1.password_file: give either"},
      {"[icecast.1]\n" + ok + "name = \"a\\nb\"\n", "b.toml:5: icecast.1.name: must not hold control characters"},
      {"[icecast.1]\n" + ok + "port = 0\n", "b.toml:5: icecast.1.port: expected a number from 1 to 65535"},
      {"[icecast.1]\n" + ok + "bitrate = 5\n", "b.toml:5: icecast.1.bitrate: unknown key"},
  };
  for (const auto& [text, where] : bad) {
    try {
      config::parse(text, dir / "b.toml");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const config::ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(where), std::string::npos) << e.what() << "\nwanted: " << where;
    }
  }
  // The password file is private to the server's user.
  fs::permissions(dir / "ice.secret", fs::perms::group_read, fs::perm_options::add);
  try {
    config::parse("[icecast.1]\nhost = \"h\"\nmount = \"/m\"\npassword_file = \"ice.secret\"\n", dir / "s.toml");
    ADD_FAILURE() << "a group-readable password file was accepted";
  } catch (const config::ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("s.toml:4: icecast.1.password_file: the password file"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("chmod 600"), std::string::npos) << e.what();
  }
  fs::remove_all(dir);
}

TEST(Config, AlertsTonesRulesAndDestinationsWithTheirSecretsAndFaults) {
  const auto dir = test::fresh_temp_dir("config-alerts");
  for (const char* f : {"ntfy.token", "po.app", "po.user", "hook.secret"}) {
    std::ofstream(dir / f) << f << "-value\n";
    fs::permissions(dir / f, fs::perms::owner_read | fs::perms::owner_write);
  }
  const auto c = config::parse(R"(
[mqtt]
host = "broker"

[alerts]
audio_link = "https://scanner.example.net:8443/live/calls/audio?id={id}"

[[alerts.tones]]
name = "Station 7"
channels = [2]
a_hz = 853.2
b_hz = 1083
a_ms = 1000
b_ms = 3000
tolerance_pct = 2
min_level_dbfs = -40
quiet_s = 120
days = ["mon", "fri"]
hours = "22:00-06:00"

[[alerts.tones]]
a_hz = 1500
long_ms = 4000

[[alerts.rule]]
name = "Fire words"
channels = [1, 2]
words = ["FIRE", "DISP"]
frequency = [154.0, 156.5]
min_duration_s = 3
after_quiet_min = 30

[[alerts.rule]]
frequency = 154.43

[[alerts.send]]
type = "ntfy"
url = "https://ntfy.example.net/station7"
token_file = "ntfy.token"
priority = 5

[[alerts.send]]
name = "phones"
type = "pushover"
app_token_file = "po.app"
user_key_file = "po.user"
priority = -1

[[alerts.send]]
type = "webhook"
url = "http://127.0.0.1:9000/hook"
allow_plain_http = true
secret_file = "hook.secret"
channels = [2]

[[alerts.send]]
type = "mqtt"

[[alerts.send]]
type = "apprise"
url = "tgram://bottoken/ChatID"
)", dir / "q.toml");
  const auto& a = c.alerts;
  ASSERT_EQ(a.tones.size(), 2u);
  EXPECT_EQ(a.tones[0].name, "Station 7");
  EXPECT_EQ(a.tones[0].channels, (std::array<bool, 4>{false, true, false, false}));
  EXPECT_DOUBLE_EQ(a.tones[0].a_hz, 853.2);
  EXPECT_DOUBLE_EQ(a.tones[0].b_hz.value_or(0), 1083);
  EXPECT_EQ(a.tones[0].a_ms + a.tones[0].b_ms, 4000);
  EXPECT_DOUBLE_EQ(a.tones[0].tolerance_pct, 2);
  EXPECT_DOUBLE_EQ(a.tones[0].min_level_dbfs, -40);
  EXPECT_EQ(a.tones[0].quiet_s, 120);
  EXPECT_EQ(a.tones[0].when.days, (std::array<bool, 7>{true, false, false, false, true, false, false}));
  EXPECT_EQ(a.tones[0].when.from_min, 22 * 60);
  EXPECT_EQ(a.tones[0].when.to_min, 6 * 60);
  EXPECT_EQ(a.tones[1].name, "tones-2");
  EXPECT_FALSE(a.tones[1].b_hz);
  EXPECT_EQ(a.tones[1].long_ms, 4000);
  ASSERT_EQ(a.rules.size(), 2u);
  EXPECT_EQ(a.rules[0].words, "FIRE DISP");
  EXPECT_EQ(a.rules[0].freq_lo_hz, 154'000'000);
  EXPECT_EQ(a.rules[0].freq_hi_hz, 156'500'000);
  EXPECT_EQ(a.rules[0].min_duration_s, 3);
  EXPECT_EQ(a.rules[0].after_quiet_min, 30);
  EXPECT_EQ(a.rules[0].quiet_s, 300);
  EXPECT_EQ(a.rules[1].name, "rule-2");
  EXPECT_EQ(a.rules[1].freq_lo_hz, 154'430'000);
  EXPECT_EQ(a.rules[1].freq_hi_hz, 154'430'000);
  ASSERT_EQ(a.sends.size(), 5u);
  EXPECT_EQ(a.sends[0].name, "ntfy-1");
  EXPECT_EQ(a.sends[0].token, "ntfy.token-value");
  EXPECT_EQ(a.sends[0].priority, 5);
  EXPECT_EQ(a.sends[1].name, "phones");
  EXPECT_EQ(a.sends[1].token + "|" + a.sends[1].user, "po.app-value|po.user-value");
  EXPECT_EQ(a.sends[2].secret, "hook.secret-value");
  EXPECT_EQ(a.sends[2].channels, (std::array<bool, 4>{false, true, false, false}));
  EXPECT_EQ(a.sends[3].type, "mqtt");
  EXPECT_EQ(a.sends[4].url, "tgram://bottoken/ChatID");
  EXPECT_EQ(a.audio_link, "https://scanner.example.net:8443/live/calls/audio?id={id}");

  const std::string tones = "[[alerts.tones]]\na_hz = 853.2\n";
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"[[alerts.tones]]\nb_hz = 1083\n", "b.toml:1: alerts.tones.1.a_hz: missing"},
      {tones + "a_hz = 853.2\n", "b.toml:3: "},  // a key given twice is the TOML parser's to refuse
      {tones + "b_hz = 860\n", "b.toml:3: alerts.tones.1.b_hz: too close to a_hz"},
      {tones + "a_hz2 = 1\n", "b.toml:3: alerts.tones.1.a_hz2: unknown key"},
      {"[[alerts.tones]]\na_hz = 5000\n", "b.toml:2: alerts.tones.1.a_hz: expected a number from 100 to 4000"},
      {tones + "channels = [5]\n", "b.toml:3: alerts.tones.1.channels: expected channel numbers from 1 to 4"},
      {tones + "days = [\"monday\"]\n", "b.toml:3: alerts.tones.1.days: expected days"},
      {tones + "hours = \"6-22\"\n", "b.toml:3: alerts.tones.1.hours: expected a time range such as \"06:00-22:00\""},
      {tones + "hours = \"06:00-06:00\"\n", "b.toml:3: alerts.tones.1.hours: the range is empty"},
      {tones + "hours = \"06:00-24:30\"\n", "b.toml:3: alerts.tones.1.hours: expected a time range"},
      {tones + "name = \"A\"\n" + tones + "name = \"A\"\n", "alerts.tones.2.name: another of the tone sets has the name A"},
      {"[[alerts.rule]]\nfrequency = [156.0, 154.0]\n", "b.toml:2: alerts.rule.1.frequency: the range's first frequency must not be above"},
      {"[[alerts.rule]]\nfrequency = \"154.43\"\n", "b.toml:2: alerts.rule.1.frequency: expected a frequency in MHz"},
      {"[[alerts.rule]]\nwords = [\"a\\tb\"]\n", "b.toml:2: alerts.rule.1.words: must not hold control characters"},
      {"[[alerts.rule]]\nwords = []\n", "b.toml:2: alerts.rule.1.words: expected a list of words"},
      {"[[alerts.send]]\nurl = \"https://x/y\"\n", "b.toml:1: alerts.send.1.type: missing"},
      {"[[alerts.send]]\ntype = \"sms\"\n", "b.toml:2: alerts.send.1.type: expected \"ntfy\""},
      {"[[alerts.send]]\ntype = \"ntfy\"\n", "b.toml:1: alerts.send.1.url: missing: the topic's URL"},
      {"[[alerts.send]]\ntype = \"ntfy\"\nurl = \"http://ntfy.sh/x\"\n", "b.toml:3: alerts.send.1.url: a plain-HTTP URL"},
      {"[[alerts.send]]\ntype = \"webhook\"\nurl = \"ftp://x/y\"\n", "b.toml:3: alerts.send.1.url: expected a URL starting with https://"},
      {"[[alerts.send]]\ntype = \"pushover\"\nuser_key_file = \"po.user\"\n", "alerts.send.1.app_token_file: missing"},
      {"[[alerts.send]]\ntype = \"ntfy\"\nurl = \"https://n/x\"\nsecret_file = \"hook.secret\"\n", "b.toml:4: alerts.send.1.secret_file: not used by ntfy"},
      {"[[alerts.send]]\ntype = \"ntfy\"\nurl = \"https://n/x\"\ntoken_file = \"none.token\"\n", "b.toml:4: alerts.send.1.token_file: cannot"},
      {"[[alerts.send]]\ntype = \"mqtt\"\n", "alerts.send.1.type: \"mqtt\" needs an [mqtt] section"},
      {"[[alerts.send]]\ntype = \"mqtt\"\nurl = \"https://x/y\"\n", "b.toml:3: alerts.send.1.url: not used by mqtt"},
      {"[[alerts.send]]\ntype = \"pushover\"\napp_token_file = \"po.app\"\nuser_key_file = \"po.user\"\npriority = 4\n",
       "b.toml:5: alerts.send.1.priority: Pushover takes -2 to 2"},
      {"[alerts]\naudio_link = \"https://x/calls\"\n", "b.toml:2: alerts.audio_link: expected a URL with {id}"},
      {"[alerts]\nsend = 1\n", "b.toml:2: alerts.send: expected [[alerts.send]] sections"},
  };
  for (const auto& [text, where] : bad) {
    try {
      config::parse(text, dir / "b.toml");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const config::ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(where), std::string::npos) << e.what() << "\nwanted: " << where;
    }
  }
  // A token readable by others is refused, as every other secret is.
  fs::permissions(dir / "ntfy.token", fs::perms::others_read, fs::perm_options::add);
  try {
    config::parse("[[alerts.send]]\ntype = \"ntfy\"\nurl = \"https://n/x\"\ntoken_file = \"ntfy.token\"\n", dir / "s.toml");
    ADD_FAILURE() << "a token readable by others was accepted";
  } catch (const config::ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("s.toml:4: alerts.send.1.token_file:"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("chmod 600"), std::string::npos) << e.what();
  }
  fs::remove_all(dir);
}

TEST(Config, TheShippedExampleIsValidAndCheckConfigReportsOnTheRealBinary) {
  const auto dir = test::fresh_temp_dir("config-bin");
  const fs::path example = fs::path(QUILLON_SOURCE_DIR) / "docs" / "quillon.toml";
  EXPECT_NO_THROW(config::load(example));

  test::Process good({QUILLON_BIN, "--check-config", example.string()}, dir / "good");
  EXPECT_EQ(good.wait_exit(20s), 0) << good.output();
  EXPECT_NE(good.stdout_text().find(": ok"), std::string::npos);

  // A fault stops the start, naming the place; nothing else is done (no data directory made).
  std::ofstream(dir / "bad.toml") << "[mqtt]\nhost = \"h\"\nkeepalive_seconds = 1\n";
  test::Process bad({QUILLON_BIN, "--data-dir", (dir / "data").string(), "--console", "off", "--config", (dir / "bad.toml").string()}, dir / "bad");
  EXPECT_EQ(bad.wait_exit(20s), 2);
  EXPECT_NE(bad.stderr_text().find("bad.toml:3: mqtt.keepalive_seconds: expected a number from 5 to 3600"), std::string::npos)
      << bad.stderr_text();
  EXPECT_FALSE(fs::exists(dir / "data"));
  fs::remove_all(dir);
}


// What --config may name: a regular file of bounded size with sections named exactly; a password
// in a file others can read is warned about, at start and by --check-config.
TEST(Config, RefusesDevicesFifosLargeFilesAndOddSectionNamesAndWarnsOfReadablePasswords) {
  const auto dir = test::fresh_temp_dir("config-file");
  auto check = [&](const fs::path& file, const std::string& tag) {
    auto p = std::make_unique<test::Process>(std::vector<std::string>{QUILLON_BIN, "--check-config", file.string()}, dir / ("out-" + tag));
    return std::pair{p->wait_exit(20s), p->output()};
  };
  auto [zero, zero_out] = check("/dev/zero", "zero");
  EXPECT_EQ(zero, 2) << zero_out;
  EXPECT_NE(zero_out.find("/dev/zero: not a regular file"), std::string::npos) << zero_out;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  auto [fifo, fifo_out] = check(dir / "fifo", "fifo");
  EXPECT_EQ(fifo, 2) << fifo_out;
  std::ofstream(dir / "big.toml") << "# " << std::string(1024 * 1024, 'x') << "\n";
  auto [big, big_out] = check(dir / "big.toml", "big");
  EXPECT_EQ(big, 2) << big_out;
  EXPECT_NE(big_out.find("larger than 1 MiB"), std::string::npos) << big_out;

  const std::string ice = "host = \"127.0.0.1\"\nmount = \"/a.ogg\"\npassword = \"hackme\"\n";
  std::ofstream(dir / "plus.toml") << "[icecast.\"+1\"]\n" << ice;
  auto [plus, plus_out] = check(dir / "plus.toml", "plus");
  EXPECT_EQ(plus, 2) << plus_out;
  EXPECT_NE(plus_out.find("expected [icecast.N] with N from 1 to 4"), std::string::npos) << plus_out;

  std::ofstream(dir / "open.toml") << "[icecast.1]\n" << ice;
  fs::permissions(dir / "open.toml", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  auto [readable, readable_out] = check(dir / "open.toml", "open");
  EXPECT_EQ(readable, 0) << readable_out;
  EXPECT_NE(readable_out.find("icecast.1.password is written in a file other users can read"), std::string::npos) << readable_out;
  fs::permissions(dir / "open.toml", fs::perms::owner_read | fs::perms::owner_write);
  auto [closed, closed_out] = check(dir / "open.toml", "closed");
  EXPECT_EQ(closed, 0) << closed_out;
  EXPECT_EQ(closed_out.find("other users can read"), std::string::npos) << closed_out;
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quillon

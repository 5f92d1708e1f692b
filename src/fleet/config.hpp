#pragma once
// The configuration file (TOML) for what lives outside the registry hive: the site's name, the
// fleet services and the Icecast outputs. Read once at start-up; an absent file means every optional service is off.
//
// The file is described by a schema: a table of sections, each a table of keys with a type, a
// range or a check, and the member it fills. A key, type or value that the schema does not
// accept stops the start with "FILE:LINE: section.key: what is wrong". Sections that repeat
// per instance ([name.N], N = 1..max) use the same schema entry with an index. docs/config.md
// lists every key; docs/quillon.toml is a commented example.

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/icecast_source.hpp"

namespace quillon::config {

struct Site {
  std::string name;  // empty: the host name
};

struct Mqtt {
  bool enabled = false;  // a [mqtt] section turns the bridge on unless enabled = false
  std::string host;
  int port = 0;  // 0: 1883, or 8883 with TLS
  std::string client_id;  // empty: "quillon-<site>"
  std::string topic_prefix;  // empty: "quillon/<site>"
  std::string username;
  std::string password;  // read from password_file
  std::filesystem::path password_file;
  bool tls = false;
  std::filesystem::path ca_file, cert_file, key_file;
  int keepalive_seconds = 30;
  int state_interval_ms = 250;  // least time between two state messages of one channel
  bool commands = false;
  bool discovery = false;
  std::string discovery_prefix = "homeassistant";
};

// Listening over HTTP (/listen/N.ogg, /listen/N.mp3) and the encoders behind it.
struct Listen {
  int public_port = 0;     // 0: no public listening port
  int max_listeners = 64;  // per channel and listening port, both formats together
  int opus_bitrate = 24;   // kbit/s
  int opus_rate = 48000;   // Hz
  int mp3_bitrate = 16;
  int mp3_rate = 22050;
  // The live path (WebSocket) and the listeners' page.
  int max_live_listeners = 128;  // live listeners of all channels together; per channel max_listeners
  std::string site_name = "Quillon";  // the listeners' page's title and heading
  std::filesystem::path tls_cert, tls_key;  // the public port speaks TLS when both are given
  struct Code {
    std::string label, code;
    std::array<bool, 4> channels{true, true, true, true};
    std::optional<std::int64_t> expires;  // Unix seconds
    int max_listeners = 0;                // simultaneous listeners with this code; 0: no limit
    std::array<bool, 4> control{};        // channels this code may operate (an operator's code)
  };
  std::vector<Code> codes;  // none: the listeners' page is open to everybody
};

// A call server fed with the recorded calls ([[calls.upload]]).
struct CallUpload {
  std::string name;          // names its queue in the index; default "<type>-<N>"
  std::string type;          // "rdio-scanner", "openmhz" or "broadcastify"
  std::string url;           // "https://calls.example.net"
  std::string api_key;       // the first line of api_key_file
  std::filesystem::path api_key_file;
  std::string system;        // system id or short name, as the server expects it
  std::array<bool, 4> channels{true, true, true, true};
  bool allow_plain_http = false;
  // A call's talkgroup: the first entry whose channel (0: any) and tag (empty: any) match.
  struct Talkgroup {
    int channel = 0;
    std::string tag;
    int number = 0;
    std::string label;
  };
  std::vector<Talkgroup> talkgroups;
};

// Recording every call ([calls]): how calls are cut, encoded and kept.
struct Calls {
  bool enabled = false;                          // a [calls] section turns recording on unless enabled = false
  std::array<bool, 4> channels{true, true, true, true};  // channels recorded
  int hang_ms = 2000;                            // squelch closed this long ends a call
  int pre_roll_ms = 800;                         // audio kept from before the opening was seen
  int min_ms = 1000;                             // shorter openings are dropped
  int soft_max_s = 60;                           // past this, the next closing ends the call
  int max_s = 300;                               // a call is cut here, the next part linked to it
  std::string gate = "auto";                     // "auto", "squelch", "level" or "both"
  int level_dbfs = -45;                          // the level gate's threshold
  int bitrate = 20;                              // kbit/s, Opus at 8000 Hz (its transform codec)
  int keep_days = 30;                            // 0: no limit
  int keep_mb = 2048;                            // 0: no limit
  std::vector<CallUpload> uploads;               // [[calls.upload]]
};

// Operating the radios from the page ([control]).
struct Control {
  int idle_s = 300;    // a controller idle this long gives the channel up
  int keep_days = 30;  // the command log's retention; 0: no limit
  int keep_mb = 64;
  std::array<std::string, 4> models{"BC785", "BC785", "BC785", "BC785"};  // per channel
  // Changes to the built-in key table of a model ([control.keys.BC785] SCAN = "KEY01").
  std::map<std::string, std::map<std::string, std::string>> keys;
};

// When an alert rule or tone set is active: weekdays and a time of day, local time.
struct ActiveTimes {
  std::array<bool, 7> days{true, true, true, true, true, true, true};  // Monday first
  int from_min = 0;     // minutes after midnight
  int to_min = 1440;    // until (exclusive); below from_min: across midnight
  bool all() const;
  // Whether a local time (weekday 0 = Monday, minutes after midnight) falls in.
  bool holds(int weekday, int minute) const;
};

// A paging tone set ([[alerts.tones]]).
struct AlertTones {
  std::string name;
  std::array<bool, 4> channels{true, true, true, true};
  double a_hz = 0;
  std::optional<double> b_hz;  // none: a long tone of a_hz
  int a_ms = 800;
  int b_ms = 2500;
  int long_ms = 2000;
  double tolerance_pct = 1.5;
  double min_level_dbfs = -30;
  int quiet_s = 60;
  ActiveTimes when;
};

// A rule on stored calls ([[alerts.rule]]).
struct AlertRule {
  std::string name;
  std::array<bool, 4> channels{true, true, true, true};
  std::int64_t freq_lo_hz = 0, freq_hi_hz = 0;  // 0, 0: any frequency; equal: exact
  std::string words;                            // as the call search takes them; empty: any
  int min_duration_s = 0;
  int after_quiet_min = 0;  // only the first call after this many minutes of quiet on the channel
  int quiet_s = 300;
  ActiveTimes when;
};

// Where alerts go ([[alerts.send]]).
struct AlertSend {
  std::string name;  // names its queue; default "<type>-<N>"
  std::string type;  // "ntfy", "pushover", "webhook", "apprise", "mqtt"
  std::string url;   // ntfy: the topic URL; webhook: where to POST; apprise: an Apprise URL
  std::string token;      // ntfy: token_file's first line (optional); Pushover: app_token_file
  std::string user;       // Pushover: user_key_file
  std::string secret;     // webhook: secret_file (optional)
  std::filesystem::path token_file, user_key_file, secret_file;
  std::array<bool, 4> channels{true, true, true, true};
  bool allow_plain_http = false;
  int priority = 0;  // ntfy 1-5 / Pushover -2..2; 0: the service's default
};

struct Alerts {
  std::vector<AlertTones> tones;
  std::vector<AlertRule> rules;
  std::vector<AlertSend> sends;
  // How a call's audio is linked in a message: "{id}" stands for the call ("https://scanner.example.net:8443/live/calls/audio?id={id}").
  std::string audio_link;
  bool any() const { return !tones.empty() || !rules.empty(); }
};

struct Config {
  std::filesystem::path file;  // empty when no file was read
  Site site;
  Mqtt mqtt;
  Listen listen;
  std::array<audio::IcecastSettings, 4> icecast;  // [icecast.N], channel N
  Calls calls;
  Control control;
  Alerts alerts;
  std::vector<std::string> inline_passwords;       // keys holding a password in the file itself ("icecast.1.password")
  std::vector<std::string> warnings;               // what load() found worth saying, once
};

// A file that cannot be used; what() is "FILE:LINE: key: message" (or "FILE: message").
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads and checks a file: a regular file of at most 1 MiB, checked before it is read.
// Throws ConfigError.
Config load(const std::filesystem::path& file);
// Checks text as if it were the file `name` (for tests and --check-config).
Config parse(std::string_view text, const std::filesystem::path& name);

// The file to read: the one given, else DATA/quillon.toml when it exists, else none.
std::optional<std::filesystem::path> choose_file(const std::optional<std::filesystem::path>& given,
                                                 const std::filesystem::path& data_dir);

// The site's name: configured, else the host name, else "quillon".
std::string site_name(const Config& c);

}  // namespace quillon::config

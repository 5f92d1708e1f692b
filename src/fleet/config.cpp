#include "fleet/config.hpp"

#include "core/private_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <toml++/toml.h>
#include <vector>

#include "audio/listen_encoder.hpp"

namespace quillon::config {

namespace {

// A whole number, or nothing. Only an integer node is asked: the parser's own
// float-to-integer conversion casts out-of-range floats (1.5e61), which is undefined.
std::optional<std::int64_t> whole_number(const toml::node& node) {
  if (!node.is_integer()) return std::nullopt;
  return node.value<std::int64_t>();
}

// What a key's reader gets: the value node, and where to report a fault.
struct KeyContext {
  const std::filesystem::path& file;
  std::string key;  // "mqtt.port"
  const toml::node& node;

  [[noreturn]] void fail(const std::string& message) const {
    throw ConfigError(file.string() + ":" + std::to_string(node.source().begin.line) + ": " + key + ": " + message);
  }
};

// A key: its name and how it reads its value into the section's object.
template <class Section>
struct Key {
  std::string_view name;
  std::function<void(Section&, const KeyContext&)> read;
};

template <class Section>
Key<Section> text_key(std::string_view name, std::string Section::*member,
                      std::function<std::string(const std::string&)> check = nullptr) {
  return {name, [member, check](Section& s, const KeyContext& c) {
            const auto v = c.node.value<std::string>();
            if (!c.node.is_string() || !v) c.fail("expected a text in quotes");
            if (check)
              if (const std::string why = check(*v); !why.empty()) c.fail(why);
            s.*member = *v;
          }};
}

template <class Section>
Key<Section> int_key(std::string_view name, int Section::*member, int lo, int hi) {
  return {name, [member, lo, hi](Section& s, const KeyContext& c) {
            const auto v = whole_number(c.node);
            if (!c.node.is_integer() || !v) c.fail("expected a whole number");
            if (*v < lo || *v > hi) c.fail("expected a number from " + std::to_string(lo) + " to " + std::to_string(hi));
            s.*member = static_cast<int>(*v);
          }};
}

template <class Section>
Key<Section> bool_key(std::string_view name, bool Section::*member) {
  return {name, [member](Section& s, const KeyContext& c) {
            if (!c.node.is_boolean()) c.fail("expected true or false");
            s.*member = *c.node.value<bool>();
          }};
}

// A path; a relative one is taken from the configuration file's folder.
template <class Section>
Key<Section> path_key(std::string_view name, std::filesystem::path Section::*member) {
  return {name, [member](Section& s, const KeyContext& c) {
            const auto v = c.node.value<std::string>();
            if (!c.node.is_string() || !v || v->empty()) c.fail("expected a file name in quotes");
            std::filesystem::path p(*v);
            if (p.is_relative()) p = c.file.parent_path() / p;
            s.*member = p;
          }};
}

// Names that go into MQTT topics and client ids: no wildcards, no separators, no blanks.
std::string topic_word(const std::string& v) {
  if (v.empty() || v.size() > 64) return "expected 1 to 64 characters";
  for (unsigned char ch : v)
    if (ch <= ' ' || ch == '+' || ch == '#' || ch == '/' || ch == 127) return "must not hold blanks, control characters, '+', '#' or '/'";
  return "";
}

std::string topic_prefix(const std::string& v) {
  if (v.empty() || v.size() > 128) return "expected 1 to 128 characters";
  if (v.front() == '/' || v.back() == '/') return "must not start or end with '/'";
  for (unsigned char ch : v)
    if (ch < ' ' || ch == '+' || ch == '#' || ch == 127) return "must not hold control characters, '+' or '#'";
  return "";
}

std::string host_name(const std::string& v) {
  if (v.empty() || v.size() > 253) return "expected a host name or address";
  for (unsigned char ch : v)
    if (ch <= ' ' || ch == 127 || ch == '/') return "expected a host name or address";
  return "";
}

// One section of the file. `object` gives the struct its keys fill (index 0 for a plain
// section, 1..max_index for [name.N]); `finish` checks what needs several keys.
struct Section {
  std::string_view name;
  int max_index = 0;  // 0: a plain [name] section
  std::function<void(Config&, int index, const toml::table&, const std::filesystem::path&, const std::string& prefix)> read;
};

template <class S>
Section section(std::string_view name, std::function<S&(Config&, int)> object, std::vector<Key<S>> keys,
                std::function<void(S&, const toml::table&, const std::filesystem::path&, const std::string&)> finish = nullptr,
                int max_index = 0) {
  return {name, max_index,
          [object, keys, finish](Config& cfg, int index, const toml::table& t, const std::filesystem::path& file,
                                 const std::string& prefix) {
            S& s = object(cfg, index);
            for (const auto& [k, node] : t) {
              const std::string key = prefix + "." + std::string(k.str());
              const std::string_view key_name = k.str();  // clang 14 cannot capture a structured binding
              auto it = std::find_if(keys.begin(), keys.end(), [&](const Key<S>& x) { return x.name == key_name; });
              if (it == keys.end())
                throw ConfigError(file.string() + ":" + std::to_string(k.source().begin.line) + ": " + key + ": unknown key");
              it->read(s, KeyContext{file, key, node});
            }
            if (finish) finish(s, t, file, prefix);
          }};
}

[[noreturn]] void fail_at(const std::filesystem::path& file, const toml::node& n, const std::string& key, const std::string& m) {
  throw ConfigError(file.string() + ":" + std::to_string(n.source().begin.line) + ": " + key + ": " + m);
}

std::string read_secret(const std::filesystem::path& file, const std::filesystem::path& secret, const toml::node& n,
                        const std::string& key) {
  struct stat st {};
  if (::stat(secret.c_str(), &st) != 0) fail_at(file, n, key, "cannot read " + secret.string());
  // A secret that anyone on the machine can read is no secret: refuse it like ssh does.
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    fail_at(file, n, key, secret.string() + " is readable by other users; make it readable by the server's user only (chmod 600)");
  std::ifstream in(secret);
  std::string line;
  if (!in || !std::getline(in, line)) fail_at(file, n, key, "cannot read " + secret.string());
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
  if (line.empty()) fail_at(file, n, key, secret.string() + " holds no password on its first line");
  return line;
}

// An encoder's rate and bitrate: the rate is checked first, so the message names the key at fault.
void check_encoder(audio::ListenFormat format, int bitrate, int rate, const toml::table& t, const std::filesystem::path& file,
                   const std::string& prefix) {
  const std::string name = audio::format_name(format);
  if (const auto why = audio::settings_problem(format, {format == audio::ListenFormat::Opus ? 24 : 32, rate}); !why.empty())
    fail_at(file, t.contains(name + "_rate") ? *t.get(name + "_rate") : static_cast<const toml::node&>(t), prefix + "." + name + "_rate", why);
  if (const auto why = audio::settings_problem(format, {bitrate, rate}); !why.empty())
    fail_at(file, t.contains(name + "_bitrate") ? *t.get(name + "_bitrate") : static_cast<const toml::node&>(t),
            prefix + "." + name + "_bitrate", why);
}

// An Icecast mount point: "/" and a name, no blanks or control characters.
std::string mount_point(const std::string& v) {
  if (v.size() < 2 || v.size() > 255 || v.front() != '/') return "expected a mount point such as \"/scanner1.ogg\"";
  for (unsigned char ch : v)
    if (ch <= ' ' || ch == 127 || ch == '?' || ch == '#') return "must not hold blanks, control characters, '?' or '#'";
  return "";
}

// Texts sent as HTTP header values: no line breaks or other control characters.
std::string header_text(const std::string& v) {
  if (v.size() > 255) return "expected at most 255 characters";
  for (unsigned char ch : v)
    if (ch < ' ' || ch == 127) return "must not hold control characters";
  return "";
}

std::string site_title(const std::string& v) {
  if (v.empty() || v.size() > 64) return "expected 1 to 64 characters";
  return header_text(v);
}

std::string source_user(const std::string& v) {
  if (v.empty() || v.size() > 64) return "expected 1 to 64 characters";
  for (unsigned char ch : v)
    if (ch <= ' ' || ch == ':' || ch == 127) return "must not hold blanks, control characters or ':'";
  return "";
}

Key<audio::IcecastSettings> format_key() {
  return {"format", [](audio::IcecastSettings& ice, const KeyContext& c) {
            const auto v = c.node.value<std::string>();
            if (!c.node.is_string() || !v || (*v != "opus" && *v != "mp3")) c.fail("expected \"opus\" or \"mp3\"");
            ice.format = *v == "mp3" ? audio::ListenFormat::Mp3 : audio::ListenFormat::Opus;
          }};
}

// The password of a source: its file's first line, without the line end and trailing blanks.
std::string read_source_password(const std::filesystem::path& file, const std::filesystem::path& secret, const toml::node& n,
                                 const std::string& key) {
  std::string text;
  try {
    text = read_private_file(secret, "password file");
  } catch (const std::exception& e) {
    fail_at(file, n, key, e.what());
  }
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
  if (line.empty()) fail_at(file, n, key, secret.string() + " holds no password on its first line");
  return line;
}

// Access codes of the listeners' page: an array of tables with a label, the code, the channels
// it may hear, an optional expiry (a date, or a date and time) and a limit of listeners.
void read_codes(Listen& l, const KeyContext& c) {
  const toml::array* list = c.node.as_array();
  if (!list) c.fail("expected a list of { label = \"...\", code = \"...\", channels = [1, 2], expires = 2027-01-31, max_listeners = 5 }");
  for (std::size_t i = 0; i < list->size(); ++i) {
    const toml::table* t = list->get(i)->as_table();
    const KeyContext at{c.file, c.key + "[" + std::to_string(i) + "]", *list->get(i)};
    if (!t) at.fail("expected a table such as { label = \"club\", code = \"...\" }");
    Listen::Code code;
    for (const auto& [k, node] : *t) {
      const std::string_view name = k.str();
      const KeyContext kc{c.file, at.key + "." + std::string(name), node};
      if (name == "label" || name == "code") {
        const auto v = node.value<std::string>();
        if (!node.is_string() || !v || v->empty() || v->size() > 128) kc.fail("expected 1 to 128 characters in quotes");
        for (unsigned char ch : *v)
          if (ch < ' ' || ch == 127) kc.fail("must not hold control characters");
        (name == "label" ? code.label : code.code) = *v;
      } else if (name == "channels") {
        const toml::array* chans = node.as_array();
        if (!chans || chans->empty()) kc.fail("expected a list of channels such as [1, 2]");
        code.channels = {};
        for (const auto& ch : *chans) {
          const auto n = whole_number(ch);
          if (!ch.is_integer() || !n || *n < 1 || *n > 4) kc.fail("expected channels from 1 to 4");
          code.channels[static_cast<std::size_t>(*n - 1)] = true;
        }
      } else if (name == "expires") {
        toml::date d{};
        toml::time tm{};
        int offset_minutes = 0;
        if (const auto dt = node.value<toml::date_time>()) {
          d = dt->date;
          tm = dt->time;
          if (dt->offset) offset_minutes = dt->offset->minutes;
        } else if (const auto date = node.value<toml::date>()) {
          d = *date;
        } else {
          kc.fail("expected a date (2027-01-31) or a date and time (2027-01-31T18:00:00Z)");
        }
        std::tm when{};
        when.tm_year = d.year - 1900;
        when.tm_mon = d.month - 1;
        when.tm_mday = d.day;
        when.tm_hour = tm.hour;
        when.tm_min = tm.minute;
        when.tm_sec = tm.second;
        code.expires = static_cast<std::int64_t>(timegm(&when)) - offset_minutes * 60;
      } else if (name == "max_listeners") {
        const auto n = whole_number(node);
        if (!node.is_integer() || !n || *n < 1 || *n > 10000) kc.fail("expected a whole number from 1 to 10000");
        code.max_listeners = static_cast<int>(*n);
      } else if (name == "control") {
        const toml::array* chans = node.as_array();
        if (!chans) kc.fail("expected a list of channels such as [2, 3]");
        for (const auto& ch : *chans) {
          const auto n = whole_number(ch);
          if (!ch.is_integer() || !n || *n < 1 || *n > 4) kc.fail("expected channels from 1 to 4");
          code.control[static_cast<std::size_t>(*n - 1)] = true;
        }
      } else {
        kc.fail("unknown key (label, code, channels, expires, max_listeners, control)");
      }
    }
    if (code.code.size() < 6) at.fail("needs a code of at least 6 characters");
    if (code.label.empty()) code.label = "code " + std::to_string(i + 1);
    for (const auto& other : l.codes)
      if (other.code == code.code) at.fail("the same code is given twice");
    l.codes.push_back(std::move(code));
  }
}

// A command the radio is sent: printable ASCII, at most 64 characters.
std::string radio_text(const std::string& v) {
  if (v.empty() || v.size() > 64) return "expected 1 to 64 characters";
  for (unsigned char ch : v)
    if (ch < ' ' || ch > '~') return "expected printable ASCII characters only";
  return "";
}

std::string model_name(const std::string& v) {
  if (v != "BC785" && v != "BC796") return "expected \"BC785\" or \"BC796\"";
  return "";
}

std::vector<Key<Control>> control_keys() {
  return {
      int_key<Control>("idle_s", &Control::idle_s, 10, 86400),
      int_key<Control>("keep_days", &Control::keep_days, 0, 36500),
      int_key<Control>("keep_mb", &Control::keep_mb, 0, 100000),
      {"models", [](Control& c, const KeyContext& k) {
         const toml::array* a = k.node.as_array();
         if (!a || a->empty() || a->size() > 4) k.fail("expected up to four models, one per channel, such as [\"BC785\", \"BC796\"]");
         for (std::size_t i = 0; i < a->size(); ++i) {
           const auto v = a->get(i)->value<std::string>();
           if (!v || !model_name(*v).empty()) k.fail(model_name(v.value_or("")));
           c.models[i] = *v;
         }
       }},
      {"keys", [](Control& c, const KeyContext& k) {
         const toml::table* models = k.node.as_table();
         if (!models) k.fail("expected [control.keys.BC785] sections of KEY = \"command\"");
         for (const auto& [model, table] : *models) {
           const std::string m(model.str());
           const KeyContext mk{k.file, k.key + "." + m, table};
           if (const std::string why = model_name(m); !why.empty()) mk.fail(why);
           const toml::table* keys = table.as_table();
           if (!keys) mk.fail("expected a section of KEY = \"command\"");
           for (const auto& [name, value] : *keys) {
             const std::string n(name.str());
             const KeyContext vk{k.file, mk.key + "." + n, value};
             if (n.empty() || n.size() > 16) vk.fail("a key's name has 1 to 16 characters");
             for (unsigned char ch : n)
               if (!(std::isupper(ch) || std::isdigit(ch) || ch == '/' || ch == '.' || ch == '_')) vk.fail("a key's name is capitals, digits, '/', '.' or '_'");
             const auto v = value.value<std::string>();
             if (!value.is_string() || !v) vk.fail("expected the command in quotes, such as \"KEY07\"");
             if (const std::string why = radio_text(*v); !why.empty()) vk.fail(why);
             c.keys[m][n] = *v;
           }
         }
       }},
  };
}

constexpr int kIcecastChannels = 4;
constexpr std::size_t kMaxFileBytes = 1024 * 1024;

Key<Calls> calls_channels_key() {
  return {"channels", [](Calls& c, const KeyContext& k) {
            const toml::array* a = k.node.as_array();
            if (!a) k.fail("expected a list of channel numbers such as [1, 2]");
            c.channels = {false, false, false, false};
            for (const auto& n : *a) {
              const auto v = whole_number(n);
              if (!n.is_integer() || !v || *v < 1 || *v > 4) k.fail("expected channel numbers from 1 to 4");
              c.channels[static_cast<std::size_t>(*v - 1)] = true;
            }
          }};
}

Key<Calls> gate_key() {
  return {"gate", [](Calls& c, const KeyContext& k) {
            const auto v = k.node.value<std::string>();
            if (!k.node.is_string() || !v || (*v != "auto" && *v != "squelch" && *v != "level" && *v != "both"))
              k.fail("expected \"auto\", \"squelch\", \"level\" or \"both\"");
            c.gate = *v;
          }};
}

// A destination's URL: "http(s)://host[:port][/path]"; "" when it is one.
std::string upload_url(const std::string& v) {
  const bool tls = v.rfind("https://", 0) == 0;
  if (!tls && v.rfind("http://", 0) != 0) return "expected a URL starting with https:// (or http://)";
  const std::string rest = v.substr(tls ? 8 : 7);
  const std::string host = rest.substr(0, rest.find_first_of("/?#"));
  if (host.empty() || host.find('@') != std::string::npos) return "expected a host name after the scheme";
  for (unsigned char ch : v)
    if (ch <= ' ' || ch == 127) return "must not hold blanks or control characters";
  return "";
}

std::vector<Key<CallUpload>> upload_keys() {
  return {
      text_key<CallUpload>("name", &CallUpload::name, topic_word),
      {"type", [](CallUpload& u, const KeyContext& k) {
         const auto v = k.node.value<std::string>();
         if (!k.node.is_string() || !v || (*v != "rdio-scanner" && *v != "openmhz" && *v != "broadcastify"))
           k.fail("expected \"rdio-scanner\", \"openmhz\" or \"broadcastify\"");
         u.type = *v;
       }},
      text_key<CallUpload>("url", &CallUpload::url, upload_url),
      path_key<CallUpload>("api_key_file", &CallUpload::api_key_file),
      {"system", [](CallUpload& u, const KeyContext& k) {
         if (const auto n = whole_number(k.node); k.node.is_integer() && n && *n >= 0) {
           u.system = std::to_string(*n);
           return;
         }
         const auto v = k.node.value<std::string>();
         if (!k.node.is_string() || !v || !topic_word(*v).empty()) k.fail("expected a system number or a short name without blanks");
         u.system = *v;
       }},
      {"channels", [](CallUpload& u, const KeyContext& k) {
         const toml::array* a = k.node.as_array();
         if (!a) k.fail("expected a list of channel numbers such as [1, 2]");
         u.channels = {false, false, false, false};
         for (const auto& n : *a) {
           const auto v = whole_number(n);
           if (!n.is_integer() || !v || *v < 1 || *v > 4) k.fail("expected channel numbers from 1 to 4");
           u.channels[static_cast<std::size_t>(*v - 1)] = true;
         }
       }},
      bool_key<CallUpload>("allow_plain_http", &CallUpload::allow_plain_http),
      {"talkgroups", [](CallUpload& u, const KeyContext& k) {
         const toml::array* a = k.node.as_array();
         if (!a || a->size() > 256) k.fail("expected a list of up to 256 tables such as {channel = 1, number = 100, label = \"Fire\"}");
         for (const auto& n : *a) {
           const toml::table* t = n.as_table();
           if (!t) k.fail("expected tables such as {channel = 1, number = 100, label = \"Fire\"}");
           CallUpload::Talkgroup g;
           for (const auto& [tk, tv] : *t) {
             const std::string_view name = tk.str();
             if (name == "channel") {
               const auto v = whole_number(tv);
               if (!tv.is_integer() || !v || *v < 1 || *v > 4) k.fail("channel: expected a channel number from 1 to 4");
               g.channel = static_cast<int>(*v);
             } else if (name == "tag" || name == "label") {
               const auto v = tv.value<std::string>();
               if (!tv.is_string() || !v || !header_text(*v).empty()) k.fail(std::string(name) + ": expected a short text");
               (name == "tag" ? g.tag : g.label) = *v;
             } else if (name == "number") {
               const auto v = whole_number(tv);
               if (!tv.is_integer() || !v || *v < 0 || *v > 2147483647) k.fail("number: expected a talkgroup number");
               g.number = static_cast<int>(*v);
             } else {
               k.fail("unknown key " + std::string(name) + " (channel, tag, number, label)");
             }
           }
           if (!t->contains("number")) k.fail("a talkgroup needs its number");
           u.talkgroups.push_back(std::move(g));
         }
       }},
  };
}

void finish_upload(CallUpload& u, const toml::table& t, const std::filesystem::path& file, const std::string& prefix) {
  if (u.type.empty()) fail_at(file, t, prefix + ".type", "missing: \"rdio-scanner\", \"openmhz\" or \"broadcastify\"");
  if (u.url.empty()) fail_at(file, t, prefix + ".url", "missing: the call server's URL");
  if (u.api_key_file.empty()) fail_at(file, t, prefix + ".api_key_file", "missing: the file holding the API key");
  if (u.system.empty()) fail_at(file, t, prefix + ".system", "missing: the system id or short name the server expects");
  const toml::node& key_node = *t.get("api_key_file");
  u.api_key = read_source_password(file, u.api_key_file, key_node, prefix + ".api_key_file");
  if (u.url.rfind("http://", 0) == 0 && !u.allow_plain_http)
    fail_at(file, *t.get("url"), prefix + ".url", "a plain-HTTP URL would send the API key in the clear; use https:// or set allow_plain_http = true");
}

Key<Calls> uploads_key() {
  return {"upload", [](Calls& c, const KeyContext& k) {
            const toml::array* a = k.node.as_array();
            if (!a || !a->is_array_of_tables()) k.fail("expected [[calls.upload]] sections");
            if (a->size() > 16) k.fail("at most 16 destinations");
            const auto keys = upload_keys();
            for (const auto& n : *a) {
              const auto& t = *n.as_table();
              const std::string prefix = "calls.upload." + std::to_string(c.uploads.size() + 1);
              CallUpload u;
              for (const auto& [tk, tv] : t) {
                const std::string_view key_name = tk.str();
                const std::string key = prefix + "." + std::string(key_name);
                auto it = std::find_if(keys.begin(), keys.end(), [&](const Key<CallUpload>& x) { return x.name == key_name; });
                if (it == keys.end())
                  throw ConfigError(k.file.string() + ":" + std::to_string(tk.source().begin.line) + ": " + key + ": unknown key");
                it->read(u, KeyContext{k.file, key, tv});
              }
              finish_upload(u, t, k.file, prefix);
              if (u.name.empty()) u.name = u.type + "-" + std::to_string(c.uploads.size() + 1);
              for (const auto& other : c.uploads)
                if (other.name == u.name) fail_at(k.file, t, prefix + ".name", "another destination has the name " + u.name);
              c.uploads.push_back(std::move(u));
            }
          }};
}

std::string short_number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// A number (whole or with a fraction) within [lo, hi].
template <class Section>
Key<Section> real_key(std::string_view name, double Section::*member, double lo, double hi) {
  return {name, [member, lo, hi](Section& s, const KeyContext& c) {
            const auto v = c.node.value<double>();
            if (!(c.node.is_floating_point() || c.node.is_integer()) || !v) c.fail("expected a number");
            if (!(*v >= lo && *v <= hi)) c.fail("expected a number from " + short_number(lo) + " to " + short_number(hi));
            s.*member = *v;
          }};
}

template <class Section>
Key<Section> channels_key(std::array<bool, 4> Section::*member) {
  return {"channels", [member](Section& s, const KeyContext& k) {
            const toml::array* a = k.node.as_array();
            if (!a || a->empty()) k.fail("expected a list of channel numbers such as [1, 2]");
            s.*member = {false, false, false, false};
            for (const auto& n : *a) {
              const auto v = whole_number(n);
              if (!n.is_integer() || !v || *v < 1 || *v > 4) k.fail("expected channel numbers from 1 to 4");
              (s.*member)[static_cast<std::size_t>(*v - 1)] = true;
            }
          }};
}

// days = ["mon", "tue"], hours = "06:00-22:00" (local time; a range may cross midnight).
template <class Section>
std::vector<Key<Section>> when_keys(ActiveTimes Section::*member) {
  return {
      {"days", [member](Section& s, const KeyContext& k) {
         static const char* const names[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
         const toml::array* a = k.node.as_array();
         if (!a || a->empty()) k.fail("expected a list of days such as [\"mon\", \"tue\"]");
         (s.*member).days = {};
         for (const auto& n : *a) {
           const auto v = n.value<std::string>();
           const auto* at = v ? std::find(std::begin(names), std::end(names), *v) : std::end(names);
           if (at == std::end(names)) k.fail("expected days \"mon\", \"tue\", \"wed\", \"thu\", \"fri\", \"sat\" or \"sun\"");
           (s.*member).days[static_cast<std::size_t>(at - std::begin(names))] = true;
         }
       }},
      {"hours", [member](Section& s, const KeyContext& k) {
         const auto v = k.node.value<std::string>();
         int h1 = -1, m1 = -1, h2 = -1, m2 = -1;
         char tail = 0;
         if (!k.node.is_string() || !v || v->size() != 11 || std::sscanf(v->c_str(), "%2d:%2d-%2d:%2d%c", &h1, &m1, &h2, &m2, &tail) != 4 ||
             (*v)[2] != ':' || (*v)[5] != '-' || (*v)[8] != ':' || h1 < 0 || h1 > 24 || h2 < 0 || h2 > 24 || m1 < 0 || m1 > 59 || m2 < 0 ||
             m2 > 59 || (h1 == 24 && m1 != 0) || (h2 == 24 && m2 != 0))
           k.fail("expected a time range such as \"06:00-22:00\" (local time)");
         (s.*member).from_min = h1 * 60 + m1;
         (s.*member).to_min = h2 * 60 + m2;
         if ((s.*member).from_min == (s.*member).to_min) k.fail("the range is empty: give two different times");
       }},
  };
}

std::string alert_name(const std::string& v) {
  if (v.empty() || v.size() > 64) return "expected 1 to 64 characters";
  return header_text(v);
}

// The words of a rule, as the call search takes them: text without control characters.
Key<AlertRule> words_key() {
  return {"words", [](AlertRule& r, const KeyContext& k) {
            const toml::array* a = k.node.as_array();
            if (!a || a->empty()) k.fail("expected a list of words such as [\"FIRE\"]");
            std::string all;
            for (const auto& n : *a) {
              const auto v = n.value<std::string>();
              if (!n.is_string() || !v || v->empty()) k.fail("expected words in quotes");
              for (unsigned char ch : *v)
                if (ch < ' ' || ch == 127) k.fail("must not hold control characters");
              all += (all.empty() ? "" : " ") + *v;
            }
            if (all.size() > 200) k.fail("expected at most 200 characters together");
            r.words = all;
          }};
}

// frequency = 154.430 (exact, MHz) or [154.0, 156.0] (a range).
Key<AlertRule> frequency_key() {
  return {"frequency", [](AlertRule& r, const KeyContext& k) {
            auto mhz = [&](const toml::node& n) {
              const auto v = n.value<double>();
              if (!(n.is_floating_point() || n.is_integer()) || !v || !(*v > 0 && *v < 10000))
                k.fail("expected a frequency in MHz such as 154.430, or a range such as [154.0, 156.0]");
              return static_cast<std::int64_t>(std::llround(*v * 1e6));
            };
            if (const toml::array* a = k.node.as_array()) {
              if (a->size() != 2) k.fail("expected a range of two frequencies such as [154.0, 156.0]");
              r.freq_lo_hz = mhz(*a->get(0));
              r.freq_hi_hz = mhz(*a->get(1));
              if (r.freq_lo_hz > r.freq_hi_hz) k.fail("the range's first frequency must not be above its second");
            } else {
              r.freq_lo_hz = r.freq_hi_hz = mhz(k.node);
            }
          }};
}

std::vector<Key<AlertTones>> tone_keys() {
  std::vector<Key<AlertTones>> keys = {
      text_key<AlertTones>("name", &AlertTones::name, alert_name),
      channels_key<AlertTones>(&AlertTones::channels),
      real_key<AlertTones>("a_hz", &AlertTones::a_hz, 100, 4000),
      {"b_hz", [](AlertTones& t, const KeyContext& k) {
         const auto v = k.node.value<double>();
         if (!(k.node.is_floating_point() || k.node.is_integer()) || !v || !(*v >= 100 && *v <= 4000)) k.fail("expected a number from 100 to 4000");
         t.b_hz = *v;
       }},
      int_key<AlertTones>("a_ms", &AlertTones::a_ms, 100, 10000),
      int_key<AlertTones>("b_ms", &AlertTones::b_ms, 100, 20000),
      int_key<AlertTones>("long_ms", &AlertTones::long_ms, 200, 20000),
      real_key<AlertTones>("tolerance_pct", &AlertTones::tolerance_pct, 0.1, 10),
      real_key<AlertTones>("min_level_dbfs", &AlertTones::min_level_dbfs, -90, 0),
      int_key<AlertTones>("quiet_s", &AlertTones::quiet_s, 0, 86400),
  };
  for (auto& k : when_keys<AlertTones>(&AlertTones::when)) keys.push_back(std::move(k));
  return keys;
}

std::vector<Key<AlertRule>> rule_keys() {
  std::vector<Key<AlertRule>> keys = {
      text_key<AlertRule>("name", &AlertRule::name, alert_name),
      channels_key<AlertRule>(&AlertRule::channels),
      frequency_key(),
      words_key(),
      int_key<AlertRule>("min_duration_s", &AlertRule::min_duration_s, 0, 3600),
      int_key<AlertRule>("after_quiet_min", &AlertRule::after_quiet_min, 0, 10080),
      int_key<AlertRule>("quiet_s", &AlertRule::quiet_s, 0, 86400),
  };
  for (auto& k : when_keys<AlertRule>(&AlertRule::when)) keys.push_back(std::move(k));
  return keys;
}

std::vector<Key<AlertSend>> send_keys() {
  return {
      text_key<AlertSend>("name", &AlertSend::name, topic_word),
      {"type", [](AlertSend& s, const KeyContext& k) {
         const auto v = k.node.value<std::string>();
         if (!k.node.is_string() || !v || (*v != "ntfy" && *v != "pushover" && *v != "webhook" && *v != "apprise" && *v != "mqtt"))
           k.fail("expected \"ntfy\", \"pushover\", \"webhook\", \"apprise\" or \"mqtt\"");
         s.type = *v;
       }},
      {"url", [](AlertSend& s, const KeyContext& k) {
         const auto v = k.node.value<std::string>();
         if (!k.node.is_string() || !v || v->empty() || v->size() > 2048) k.fail("expected a URL in quotes");
         for (unsigned char ch : *v)
           if (ch <= ' ' || ch == 127) k.fail("must not hold blanks or control characters");
         s.url = *v;
       }},
      path_key<AlertSend>("token_file", &AlertSend::token_file),
      path_key<AlertSend>("app_token_file", &AlertSend::token_file),
      path_key<AlertSend>("user_key_file", &AlertSend::user_key_file),
      path_key<AlertSend>("secret_file", &AlertSend::secret_file),
      channels_key<AlertSend>(&AlertSend::channels),
      bool_key<AlertSend>("allow_plain_http", &AlertSend::allow_plain_http),
      {"priority", [](AlertSend& s, const KeyContext& k) {
         const auto v = whole_number(k.node);
         if (!k.node.is_integer() || !v || *v < -2 || *v > 5) k.fail("expected a whole number (ntfy 1 to 5, Pushover -2 to 2)");
         s.priority = static_cast<int>(*v);
       }},
  };
}

// Reads one [[alerts.NAME]] list with `keys`, then `finish` checks each entry as a whole.
template <class Entry>
void read_list(std::vector<Entry>& out, const KeyContext& k, const char* what, std::size_t max, const std::vector<Key<Entry>>& keys,
               const std::function<void(Entry&, const toml::table&, const std::string&)>& finish) {
  const toml::array* a = k.node.as_array();
  if (!a || !a->is_array_of_tables()) k.fail(std::string("expected [[") + k.key + "]] sections");
  if (a->size() > max) k.fail("at most " + std::to_string(max) + " " + what);
  for (const auto& n : *a) {
    const auto& t = *n.as_table();
    const std::string prefix = k.key + "." + std::to_string(out.size() + 1);
    Entry e;
    for (const auto& [tk, tv] : t) {
      const std::string_view key_name = tk.str();
      const std::string key = prefix + "." + std::string(key_name);
      auto it = std::find_if(keys.begin(), keys.end(), [&](const Key<Entry>& x) { return x.name == key_name; });
      if (it == keys.end()) throw ConfigError(k.file.string() + ":" + std::to_string(tk.source().begin.line) + ": " + key + ": unknown key");
      it->read(e, KeyContext{k.file, key, tv});
    }
    finish(e, t, prefix);
    for (const auto& other : out)
      if (other.name == e.name) fail_at(k.file, t, prefix + ".name", std::string("another of the ") + what + " has the name " + e.name);
    out.push_back(std::move(e));
  }
}

std::vector<Key<Alerts>> alerts_keys() {
  return {
      {"tones", [](Alerts& a, const KeyContext& k) {
         read_list<AlertTones>(a.tones, k, "tone sets", 32, tone_keys(), [&](AlertTones& t, const toml::table& tt, const std::string& prefix) {
           if (!tt.contains("a_hz")) fail_at(k.file, tt, prefix + ".a_hz", "missing: the first tone's frequency in Hz");
           if (t.name.empty()) t.name = "tones-" + std::to_string(a.tones.size() + 1);
           if (t.b_hz && std::abs(*t.b_hz - t.a_hz) <= t.a_hz * t.tolerance_pct / 50)
             fail_at(k.file, *tt.get("b_hz"), prefix + ".b_hz", "too close to a_hz to be told apart; leave b_hz out for a long tone");
         });
       }},
      {"rule", [](Alerts& a, const KeyContext& k) {
         read_list<AlertRule>(a.rules, k, "rules", 64, rule_keys(), [&](AlertRule& r, const toml::table&, const std::string&) {
           if (r.name.empty()) r.name = "rule-" + std::to_string(a.rules.size() + 1);
         });
       }},
      {"send", [](Alerts& a, const KeyContext& k) {
         read_list<AlertSend>(a.sends, k, "destinations", 16, send_keys(), [&](AlertSend& s, const toml::table& t, const std::string& prefix) {
           if (s.type.empty()) fail_at(k.file, t, prefix + ".type", "missing: \"ntfy\", \"pushover\", \"webhook\", \"apprise\" or \"mqtt\"");
           if (s.name.empty()) s.name = s.type + "-" + std::to_string(a.sends.size() + 1);
           const bool http = s.type == "ntfy" || s.type == "webhook" || (s.type == "pushover" && !s.url.empty());
           if (s.type == "ntfy" || s.type == "webhook" || s.type == "apprise") {
             if (s.url.empty()) fail_at(k.file, t, prefix + ".url", s.type == "ntfy" ? "missing: the topic's URL, such as \"https://ntfy.sh/station7\""
                                                                   : s.type == "apprise" ? "missing: the Apprise URL" : "missing: the URL to post to");
           } else if (!s.url.empty() && s.type != "pushover") {
             fail_at(k.file, *t.get("url"), prefix + ".url", "not used by " + s.type);
           }
           if (http) {
             if (const std::string why = upload_url(s.url); !why.empty()) fail_at(k.file, *t.get("url"), prefix + ".url", why);
             if (s.url.rfind("http://", 0) == 0 && !s.allow_plain_http)
               fail_at(k.file, *t.get("url"), prefix + ".url", "a plain-HTTP URL sends alerts (and any key) in the clear; use https:// or set allow_plain_http = true");
           }
           auto secret = [&](const char* key, const std::filesystem::path& path, std::string& into) {
             if (!t.contains(key)) return;
             into = read_source_password(k.file, path, *t.get(key), prefix + "." + key);
           };
           auto refuse = [&](const char* key) {
             if (t.contains(key)) fail_at(k.file, *t.get(key), prefix + "." + key, "not used by " + s.type);
           };
           if (s.type == "ntfy") {
             secret("token_file", s.token_file, s.token);
             refuse("app_token_file"), refuse("user_key_file"), refuse("secret_file");
           } else if (s.type == "pushover") {
             if (!t.contains("app_token_file")) fail_at(k.file, t, prefix + ".app_token_file", "missing: the file holding the application's API token");
             if (!t.contains("user_key_file")) fail_at(k.file, t, prefix + ".user_key_file", "missing: the file holding the user (or group) key");
             secret("app_token_file", s.token_file, s.token);
             secret("user_key_file", s.user_key_file, s.user);
             refuse("token_file"), refuse("secret_file");
             if (s.priority > 2) fail_at(k.file, *t.get("priority"), prefix + ".priority", "Pushover takes -2 to 2");
           } else if (s.type == "webhook") {
             secret("secret_file", s.secret_file, s.secret);
             refuse("token_file"), refuse("app_token_file"), refuse("user_key_file");
           } else {
             refuse("token_file"), refuse("app_token_file"), refuse("user_key_file"), refuse("secret_file");
           }
           if (s.type == "ntfy" && s.priority < 0) fail_at(k.file, *t.get("priority"), prefix + ".priority", "ntfy takes 1 to 5");
         });
       }},
      {"audio_link", [](Alerts& a, const KeyContext& k) {
         const auto v = k.node.value<std::string>();
         if (!k.node.is_string() || !v || !upload_url(*v).empty() || v->find("{id}") == std::string::npos)
           k.fail("expected a URL with {id} for the call, such as \"https://scanner.example.net:8443/live/calls/audio?id={id}\"");
         a.audio_link = *v;
       }},
  };
}

const std::vector<Section>& schema() {
  static const std::vector<Section> s = {
      section<Site>("site", [](Config& c, int) -> Site& { return c.site; }, {text_key<Site>("name", &Site::name, topic_word)}),
      section<Mqtt>(
          "mqtt", [](Config& c, int) -> Mqtt& { return c.mqtt; },
          {
              bool_key<Mqtt>("enabled", &Mqtt::enabled),
              text_key<Mqtt>("host", &Mqtt::host, host_name),
              int_key<Mqtt>("port", &Mqtt::port, 1, 65535),
              text_key<Mqtt>("client_id", &Mqtt::client_id, topic_word),
              text_key<Mqtt>("topic_prefix", &Mqtt::topic_prefix, topic_prefix),
              text_key<Mqtt>("username", &Mqtt::username),
              path_key<Mqtt>("password_file", &Mqtt::password_file),
              bool_key<Mqtt>("tls", &Mqtt::tls),
              path_key<Mqtt>("ca_file", &Mqtt::ca_file),
              path_key<Mqtt>("cert_file", &Mqtt::cert_file),
              path_key<Mqtt>("key_file", &Mqtt::key_file),
              int_key<Mqtt>("keepalive_seconds", &Mqtt::keepalive_seconds, 5, 3600),
              int_key<Mqtt>("state_interval_ms", &Mqtt::state_interval_ms, 100, 60000),
              bool_key<Mqtt>("commands", &Mqtt::commands),
              bool_key<Mqtt>("discovery", &Mqtt::discovery),
              text_key<Mqtt>("discovery_prefix", &Mqtt::discovery_prefix, topic_prefix),
          },
          [](Mqtt& m, const toml::table& t, const std::filesystem::path& file, const std::string& prefix) {
            // A [mqtt] section switches the bridge on unless it says enabled = false.
            if (!t.contains("enabled")) m.enabled = true;
            if (!m.enabled) return;
            if (m.host.empty()) fail_at(file, t, prefix + ".host", "missing: the broker's host name or address");
            if (m.port == 0) m.port = m.tls ? 8883 : 1883;
            if (!m.password_file.empty()) m.password = read_secret(file, m.password_file, *t.get("password_file"), prefix + ".password_file");
            if (!m.password_file.empty() && m.username.empty())
              fail_at(file, *t.get("password_file"), prefix + ".username", "a password needs a user name");
            if (!m.cert_file.empty() != !m.key_file.empty())
              fail_at(file, t, prefix + (m.cert_file.empty() ? ".cert_file" : ".key_file"), "a client certificate needs both cert_file and key_file");
            if ((!m.ca_file.empty() || !m.cert_file.empty()) && !m.tls)
              fail_at(file, t, prefix + ".tls", "certificates are given but tls is not true");
            for (const auto* p : {&m.ca_file, &m.cert_file, &m.key_file})
              if (!p->empty() && ::access(p->c_str(), R_OK) != 0) fail_at(file, t, prefix, "cannot read " + p->string());
          }),
      section<Listen>(
          "listen", [](Config& c, int) -> Listen& { return c.listen; },
          {
              int_key<Listen>("public_port", &Listen::public_port, 1, 65535),
              int_key<Listen>("max_listeners", &Listen::max_listeners, 1, 1000),
              int_key<Listen>("opus_bitrate", &Listen::opus_bitrate, 6, 256),
              int_key<Listen>("opus_rate", &Listen::opus_rate, 8000, 48000),
              int_key<Listen>("mp3_bitrate", &Listen::mp3_bitrate, 8, 320),
              int_key<Listen>("mp3_rate", &Listen::mp3_rate, 8000, 48000),
              int_key<Listen>("max_live_listeners", &Listen::max_live_listeners, 1, 10000),
              text_key<Listen>("site_name", &Listen::site_name, site_title),
              path_key<Listen>("tls_cert", &Listen::tls_cert),
              path_key<Listen>("tls_key", &Listen::tls_key),
              {"codes", read_codes},
          },
          [](Listen& l, const toml::table& t, const std::filesystem::path& file, const std::string& prefix) {
            if (l.tls_cert.empty() != l.tls_key.empty())
              fail_at(file, t, prefix + (l.tls_cert.empty() ? ".tls_cert" : ".tls_key"), "TLS needs both tls_cert and tls_key");
            check_encoder(audio::ListenFormat::Opus, l.opus_bitrate, l.opus_rate, t, file, prefix);
            check_encoder(audio::ListenFormat::Mp3, l.mp3_bitrate, l.mp3_rate, t, file, prefix);
          }),
      section<audio::IcecastSettings>(
          "icecast", [](Config& c, int n) -> audio::IcecastSettings& { return c.icecast[static_cast<std::size_t>(n - 1)]; },
          {
              bool_key<audio::IcecastSettings>("enabled", &audio::IcecastSettings::enabled),
              text_key<audio::IcecastSettings>("host", &audio::IcecastSettings::host, host_name),
              int_key<audio::IcecastSettings>("port", &audio::IcecastSettings::port, 1, 65535),
              text_key<audio::IcecastSettings>("mount", &audio::IcecastSettings::mount, mount_point),
              text_key<audio::IcecastSettings>("user", &audio::IcecastSettings::user, source_user),
              text_key<audio::IcecastSettings>("password", &audio::IcecastSettings::password, header_text),
              {"password_file", [](audio::IcecastSettings& ice, const KeyContext& c) {
                 const auto v = c.node.value<std::string>();
                 if (!c.node.is_string() || !v || v->empty()) c.fail("expected a file name in quotes");
                 std::filesystem::path p(*v);
                 if (p.is_relative()) p = c.file.parent_path() / p;
                 ice.password = read_source_password(c.file, p, c.node, c.key);
               }},
              bool_key<audio::IcecastSettings>("tls", &audio::IcecastSettings::tls),
              format_key(),
              text_key<audio::IcecastSettings>("name", &audio::IcecastSettings::name, header_text),
              text_key<audio::IcecastSettings>("description", &audio::IcecastSettings::description, header_text),
              text_key<audio::IcecastSettings>("genre", &audio::IcecastSettings::genre, header_text),
              text_key<audio::IcecastSettings>("url", &audio::IcecastSettings::url, header_text),
              bool_key<audio::IcecastSettings>("public", &audio::IcecastSettings::is_public),
              int_key<audio::IcecastSettings>("title_interval_seconds", &audio::IcecastSettings::title_interval_seconds, 2, 3600),
          },
          [](audio::IcecastSettings& ice, const toml::table& t, const std::filesystem::path& file, const std::string& prefix) {
            // A section switches the source on unless it says enabled = false.
            if (!t.contains("enabled")) ice.enabled = true;
            if (t.contains("password") && t.contains("password_file"))
              fail_at(file, *t.get("password_file"), prefix + ".password_file", "give either password or password_file, not both");
            if (!ice.enabled) return;
            if (ice.host.empty()) fail_at(file, t, prefix + ".host", "missing: the Icecast server's host name or address");
            if (ice.mount.empty()) fail_at(file, t, prefix + ".mount", "missing: the mount point, such as \"/scanner1.ogg\"");
            if (ice.password.empty()) fail_at(file, t, prefix + ".password_file", "missing: the source password (password_file or password)");
          },
          kIcecastChannels),
      section<Alerts>("alerts", [](Config& c, int) -> Alerts& { return c.alerts; }, alerts_keys()),
      section<Control>("control", [](Config& c, int) -> Control& { return c.control; }, control_keys()),
      section<Calls>(
          "calls", [](Config& c, int) -> Calls& { return c.calls; },
          {
              bool_key<Calls>("enabled", &Calls::enabled),
              calls_channels_key(),
              int_key<Calls>("hang_ms", &Calls::hang_ms, 0, 30000),
              int_key<Calls>("pre_roll_ms", &Calls::pre_roll_ms, 0, 5000),
              int_key<Calls>("min_ms", &Calls::min_ms, 0, 60000),
              int_key<Calls>("soft_max_s", &Calls::soft_max_s, 1, 3600),
              int_key<Calls>("max_s", &Calls::max_s, 1, 3600),
              gate_key(),
              int_key<Calls>("level_dbfs", &Calls::level_dbfs, -90, 0),
              int_key<Calls>("bitrate", &Calls::bitrate, 6, 64),
              int_key<Calls>("keep_days", &Calls::keep_days, 0, 36500),
              int_key<Calls>("keep_mb", &Calls::keep_mb, 0, 100000000),
              uploads_key(),
          },
          [](Calls& c, const toml::table& t, const std::filesystem::path& file, const std::string& prefix) {
            if (!t.contains("enabled")) c.enabled = true;
            if (c.soft_max_s > c.max_s)
              fail_at(file, t.contains("soft_max_s") ? *t.get("soft_max_s") : static_cast<const toml::node&>(t), prefix + ".soft_max_s",
                      "must not be above max_s");
          }),
  };
  return s;
}

Config check(const toml::table& root, const std::filesystem::path& file) {
  Config cfg;
  cfg.file = file;
  for (const auto& [k, node] : root) {
    const std::string name(k.str());
    auto it = std::find_if(schema().begin(), schema().end(), [&](const Section& s) { return s.name == name; });
    if (it == schema().end()) fail_at(file, node, name, "unknown section");
    const toml::table* t = node.as_table();
    if (!t) fail_at(file, node, name, "expected a section [" + name + "]");
    if (it->max_index == 0) {
      it->read(cfg, 0, *t, file, name);
      if (t->contains("password")) cfg.inline_passwords.push_back(name + ".password");
      continue;
    }
    // [name.N]: one sub-table per instance.
    for (const auto& [ik, inode] : *t) {
      const std::string idx(ik.str());
      const std::string key = name + "." + idx;
      // Exactly one digit: "+1", "01" or " 1" would be second names for the same section.
      const long n = idx.size() == 1 && idx[0] >= '1' && idx[0] <= '9' ? idx[0] - '0' : 0;
      if (n < 1 || n > it->max_index)
        fail_at(file, inode, key, "expected [" + name + ".N] with N from 1 to " + std::to_string(it->max_index));
      const toml::table* it_table = inode.as_table();
      if (!it_table) fail_at(file, inode, key, "expected a section [" + key + "]");
      it->read(cfg, static_cast<int>(n), *it_table, file, key);
      if (it_table->contains("password")) cfg.inline_passwords.push_back(key + ".password");
    }
  }
  // Alerts to MQTT go through the bridge: without a broker they would go nowhere.
  for (std::size_t i = 0; i < cfg.alerts.sends.size(); ++i)
    if (cfg.alerts.sends[i].type == "mqtt" && !cfg.mqtt.enabled)
      fail_at(file, *root.get("alerts"), "alerts.send." + std::to_string(i + 1) + ".type", "\"mqtt\" needs an [mqtt] section with a broker");
  return cfg;
}

}  // namespace

Config parse(std::string_view text, const std::filesystem::path& name) {
  toml::table root;
  try {
    root = toml::parse(text, name.string());
  } catch (const toml::parse_error& e) {
    throw ConfigError(name.string() + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
  }
  return check(root, name);
}

Config load(const std::filesystem::path& file) {
  // Non-blocking open: a FIFO without a writer must not hang the start; it is refused below.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw ConfigError(file.string() + ": cannot be read: " + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) throw ConfigError(file.string() + ": not a regular file");
  if (st.st_size > static_cast<off_t>(kMaxFileBytes)) throw ConfigError(file.string() + ": larger than 1 MiB");
  // The size is checked again while reading: the file may grow after the fstat.
  std::string text(kMaxFileBytes + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ConfigError(file.string() + ": cannot be read: " + std::strerror(errno));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > kMaxFileBytes) throw ConfigError(file.string() + ": larger than 1 MiB");
  text.resize(got);
  Config cfg = parse(text, file);
  // A password written in the file itself is only as private as the file.
  const bool others_read = (st.st_mode & S_IROTH) != 0 || ((st.st_mode & S_IRGRP) != 0 && st.st_gid != ::getegid());
  if (others_read)
    for (const std::string& key : cfg.inline_passwords)
      cfg.warnings.push_back(file.string() + ": " + key +
                             " is written in a file other users can read; use password_file with a private file (chmod 600), "
                             "or make this file readable by the server's user only");
  return cfg;
}

std::optional<std::filesystem::path> choose_file(const std::optional<std::filesystem::path>& given,
                                                 const std::filesystem::path& data_dir) {
  if (given) return given;
  std::error_code ec;
  const auto p = data_dir / "quillon.toml";
  if (std::filesystem::exists(p, ec)) return p;
  return std::nullopt;
}

bool ActiveTimes::all() const {
  return from_min == 0 && to_min == 1440 && std::all_of(days.begin(), days.end(), [](bool d) { return d; });
}

bool ActiveTimes::holds(int weekday, int minute) const {
  // A range across midnight belongs to the day it starts on.
  if (from_min <= to_min) return days[static_cast<std::size_t>(weekday)] && minute >= from_min && minute < to_min;
  if (minute >= from_min) return days[static_cast<std::size_t>(weekday)];
  return minute < to_min && days[static_cast<std::size_t>((weekday + 6) % 7)];
}

std::string site_name(const Config& c) {
  if (!c.site.name.empty()) return c.site.name;
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0]) {
    std::string h(host);
    if (const auto dot = h.find('.'); dot != std::string::npos) h.resize(dot);
    if (topic_word(h).empty()) return h;
  }
  return "quillon";
}

}  // namespace quillon::config

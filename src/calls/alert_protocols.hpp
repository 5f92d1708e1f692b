#pragma once
// What an alert says and how each service takes it, as pure functions: the message's text, the
// request for ntfy, Pushover, a webhook or the apprise command, the MQTT payload, and the verdict
// on a service's answer. The alert queues (alerts.*) send what these build.

#include <cstdint>
#include <optional>
#include <string>

#include "calls/call_store.hpp"
#include "calls/upload_http.hpp"
#include "fleet/config.hpp"

namespace quillon::calls {

// Largest attachment each service takes; a larger call goes as a link only.
inline constexpr std::int64_t kNtfyAttachMax = 15 << 20;
inline constexpr std::int64_t kPushoverAttachMax = 5 << 20;

// One alert as it goes out.
struct AlertMessage {
  std::string kind;  // "tones", "call" or "test"
  std::string name;
  int channel = 0;
  std::int64_t at_ms = 0;
  std::optional<CallRecord> call;
  std::string audio_link;  // the call's link for a phone ("" without audio_link or call)
  std::string title;       // "Station 7 page"
  std::string text;        // "Station 7 page, channel 2, 14:02:11"
};

// Local time of day "14:02:11" of a UTC instant.
std::string local_clock(std::int64_t ms);
// Weekday (0 = Monday) and minute of the day, local time.
void local_day_minute(std::int64_t ms, int& weekday, int& minute);

// The message of an alert row and its call (when it has one); `link` is the configured
// audio_link ("" for none).
AlertMessage alert_message(const AlertRow& a, const std::optional<CallRecord>& call, const std::string& link);

// The webhook's JSON body.
std::string webhook_body(const AlertMessage& m);
// The hex HMAC-SHA256 of `body` under `secret`.
std::string hmac_sha256_hex(const std::string& secret, const std::string& body);

// The request for a destination; `audio` is the call's file when it goes along ("" otherwise).
// apprise: url is the Apprise URL, body the text, headers "title" and "attach" (a path).
HttpRequest alert_request(const config::AlertSend& dest, const AlertMessage& m, const std::string& audio, const std::string& audio_path);

struct AlertVerdict {
  enum Kind { Done, Retry, Refused, Pause, WithoutAttachment } kind = Retry;
  std::string text;
};
AlertVerdict judge_alert(const std::string& type, const HttpAnswer& a, bool attached);

// Whether a call's audio goes along to this destination.
bool attaches(const config::AlertSend& dest, std::int64_t bytes);

}  // namespace quillon::calls

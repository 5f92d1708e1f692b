#pragma once
// What each kind of call server is sent for a call, and what its answers mean.
//
//   rdio-scanner   POST {url}/api/call-upload, multipart, the call's own audio
//   openmhz        POST {url}/{system}/upload, multipart, the call as MP3
//   broadcastify   POST {url}/call-upload, multipart, answered "0 <one-time URL>", then the MP3
//                  PUT to that URL

#include <string>
#include <utility>
#include <vector>

#include "calls/call_store.hpp"
#include "calls/upload_http.hpp"
#include "fleet/config.hpp"

namespace quillon::calls {

enum class UploadKind { RdioScanner, OpenMhz, Broadcastify };
UploadKind upload_kind(const config::CallUpload& d);
bool takes_mp3(const config::CallUpload& d);

// The call's talkgroup number and label: the first matching entry, else the channel's number.
std::pair<int, std::string> talkgroup_of(const config::CallUpload& d, const CallRecord& r);

// One part of a multipart/form-data body: a field, or a file when file_name is set.
struct FormPart {
  std::string name;
  std::string value;
  std::string file_name;
  std::string content_type;
};
// The body and its Content-Type; the boundary is chosen so that no part holds it.
std::pair<std::string, std::string> multipart(const std::vector<FormPart>& parts, unsigned seed);

// The first request for a call. `audio` is the call's Ogg/Opus file for rdio-scanner, its MP3
// for the others.
HttpRequest first_request(const config::CallUpload& d, const CallRecord& r, const std::string& audio, unsigned seed);
// Broadcastify's second step.
HttpRequest audio_put(const std::string& url, const std::string& mp3);

struct Verdict {
  enum Kind {
    Done,     // the server has the call
    PutAudio, // Broadcastify: send the audio to `url`
    Again,    // Broadcastify: the one-time URL is no longer good; start over at once
    Retry,    // try again later (server or network trouble)
    Refused,  // the server will not take this call; go on with the next
    Pause,    // the server will take nothing (a bad key): stop until the settings change
  } kind;
  std::string text;
  std::string url;
};
Verdict judge_first(UploadKind kind, const HttpAnswer& a);
Verdict judge_put(const HttpAnswer& a);

// A server's text fit for a log line and the page: its first line, printable, short.
std::string said_text(const std::string& body);

}  // namespace quillon::calls

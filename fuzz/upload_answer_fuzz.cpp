// libFuzzer target for what call servers answer an upload: whatever a server (or something in
// its place) sends back is judged for each kind of server and for the second step of a
// two-step upload.
//
// Input: byte 0 picks the kind of server, bytes 1 and 2 the HTTP status (0: no answer), the rest
// is the body. Checked: the text kept of a body is one printable line of at most 120
// characters; every verdict's text is printable (it reaches the log and the page); a call counts
// as delivered only on a 2xx answer; only a two-step server's 2xx answer asks for a second step,
// and then to a URL of one printable, blank-free line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "calls/upload_protocols.hpp"

using namespace quillon;
using namespace quillon::calls;

namespace {

bool printable(std::string_view s) {
  for (const char c : s)
    if (c < ' ' || c == 127) return false;
  return true;
}

void check(const Verdict& v, UploadKind kind, int status, bool second_step) {
  if (!printable(v.text)) fuzz::fail("a verdict's text that is not printable");
  const bool ok = status >= 200 && status < 300;
  if (v.kind == Verdict::Done && !ok) fuzz::fail("delivered without a 2xx answer");
  if (v.kind == Verdict::PutAudio) {
    if (second_step || kind != UploadKind::Broadcastify || !ok) fuzz::fail("a second step asked for where none is");
    if (v.url.empty() || !printable(v.url) || v.url.find(' ') != std::string::npos) fuzz::fail("an unusable second-step URL");
  }
  if (v.kind == Verdict::Again && !second_step) fuzz::fail("start over asked outside the second step");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const auto kind = static_cast<UploadKind>(data[0] % 3);
  const int raw = (data[1] << 8) | data[2];
  const int status = raw % 700 < 100 ? 0 : raw % 700;
  HttpAnswer a;
  a.status = status;
  a.body.assign(reinterpret_cast<const char*>(data + 3), size - 3);
  if (status == 0) a.error = "connection refused";

  const std::string said = said_text(a.body);
  if (said.size() > 120 || !printable(said)) fuzz::fail("the text kept of a body is not one short printable line");

  check(judge_first(kind, a), kind, status, false);
  check(judge_put(a), UploadKind::Broadcastify, status, true);
  return 0;
}

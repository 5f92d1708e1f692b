#pragma once
// One HTTP request at a time for an upload destination: the request goes out whole, the answer
// comes back whole (bounded), or an error text does. The uploader only sees this interface, so
// its logic runs in virtual time against test receivers; production uses Boost.Beast on the
// loop's io_context with OpenSSL (the server's certificate must name the host).

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillon {
class AsioEventLoop;
}

namespace quillon::calls {

struct HttpRequest {
  std::string method;  // "POST", "PUT"
  std::string url;     // "https://host[:port]/path"
  std::string content_type;
  std::string body;
  // Further headers ("Title", "Authorization"); values must not hold line breaks.
  std::vector<std::pair<std::string, std::string>> headers{};
};

struct HttpAnswer {
  int status = 0;     // 0: no answer (see error)
  std::string body;   // at most kMaxAnswerBytes
  std::string error;  // why there is no answer
};

class HttpClient {
 public:
  using Done = std::function<void(HttpAnswer)>;
  virtual ~HttpClient() = default;
  // `done` runs once, later, on the loop; never after cancel() or destruction.
  virtual void send(const HttpRequest& request, Done done) = 0;
  virtual void cancel() = 0;
};

inline constexpr std::size_t kMaxAnswerBytes = 16 * 1024;
// Connecting, sending and the answer together.
inline constexpr int kHttpStepSeconds = 60;

struct ParsedUrl {
  bool tls = false;
  std::string host;
  std::string port;
  std::string target;  // "/" at least
};
// Nothing when the URL is not "http(s)://host[:port][/path]".
bool parse_url(const std::string& url, ParsedUrl& out);

std::unique_ptr<HttpClient> make_http_client(AsioEventLoop& loop);

}  // namespace quillon::calls

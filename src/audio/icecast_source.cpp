#include "audio/icecast_source.hpp"

#include <shout/shout.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace quillon::audio {

namespace {

constexpr int kMinBackoffSeconds = 1;
constexpr int kMaxBackoffSeconds = 60;
constexpr auto kStopWait = std::chrono::seconds(3);

std::once_flag g_shout_once;

// An Ogg page whose granule position is 0 carries stream headers (OpusHead, OpusTags): a
// decoder cannot start without them, so the queue never drops such a page.
bool is_ogg_header_page(std::span<const std::uint8_t> b) {
  if (b.size() < 27 || b[0] != 'O' || b[1] != 'g' || b[2] != 'g' || b[3] != 'S') return false;
  for (std::size_t i = 6; i < 14; ++i)
    if (b[i] != 0) return false;
  return true;
}

std::string trim(std::string s) {
  const auto blank = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(static_cast<unsigned char>(s.back()))) s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && blank(static_cast<unsigned char>(s[i]))) ++i;
  return s.substr(i);
}

std::string display_text(const std::string& line) {
  const auto open = line.find('[');
  if (open == std::string::npos) return trim(line);
  const auto close = line.find(']', open + 1);
  return trim(line.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1));
}

}  // namespace

std::string stream_title(const std::string& line2, const std::string& line3) {
  std::string t = display_text(line3);
  if (t.empty()) t = display_text(line2);
  return t;
}

// Everything the source's thread touches; owned jointly by the source and the thread.
struct IcecastSource::Worker {
  IcecastSettings cfg;
  int channel = 0;
  Log log;

  mutable std::mutex mu;
  std::condition_variable wake;
  struct Unit {
    bool header = false;
    std::vector<std::uint8_t> bytes;
  };
  std::deque<Unit> queue;
  std::size_t queued_bytes = 0;
  std::uint64_t generation = 0;  // of the connection the queue is for; 0 while none
  bool stop = false;
  std::string title;
  std::function<void(std::function<void()>)> post;  // to the loop; cleared when the source stops
  std::function<void(std::uint64_t)> on_connected;  // loop side
  std::function<void()> on_disconnected;            // loop side
  Figures figures;
  std::string state_text = "stopped";
  std::atomic<bool> finished{false};

  // Thread only.
  bool ever_connected = false;
  bool reported_down = false;
  int backoff = kMinBackoffSeconds;

  std::string where() const { return cfg.host + ":" + std::to_string(cfg.port) + cfg.mount; }

  void to_loop(std::function<void()> fn) {
    std::lock_guard lock(mu);
    if (post) post(std::move(fn));
  }

  void set_state(State s, std::string text) {
    {
      std::lock_guard lock(mu);
      figures.state = s;
      if (state_text == text) return;
      state_text = text;
    }
    to_loop([] {});  // wakes the loop side, which reads state_text
  }

  // Loop thread: one whole page or frame for the connection `gen`.
  void push(std::uint64_t gen, std::span<const std::uint8_t> bytes) {
    {
      std::lock_guard lock(mu);
      if (gen != generation || stop) return;
      queue.push_back(Unit{cfg.format == ListenFormat::Opus && is_ogg_header_page(bytes), {bytes.begin(), bytes.end()}});
      queued_bytes += bytes.size();
      // Icecast is slow: the oldest audio goes first, headers stay.
      while (queue.size() > kMaxQueuedUnits || queued_bytes > kMaxQueuedBytes) {
        auto victim = std::find_if(queue.begin(), queue.end(), [](const Unit& u) { return !u.header; });
        if (victim == queue.end()) break;
        queued_bytes -= victim->bytes.size();
        queue.erase(victim);
        ++figures.units_dropped;
      }
    }
    wake.notify_one();
  }

  void down(const std::string& why) {
    if (reported_down) return;
    reported_down = true;
    log(true, "channel " + std::to_string(channel) + (ever_connected ? ": lost the Icecast server at " : ": cannot send to Icecast at ") +
                  where() + ": " + why + "; retrying in the background");
  }

  void up() {
    if (!ever_connected || reported_down)
      log(false, "channel " + std::to_string(channel) + ": sending to Icecast at " + where());
    ever_connected = true;
    reported_down = false;
  }

  // Waits out the back-off; false when the source is stopping.
  bool wait_backoff(const std::string& why) {
    set_state(State::Retrying, "retrying in " + std::to_string(backoff) + " s: " + why);
    std::unique_lock lock(mu);
    const bool stopping = wake.wait_for(lock, std::chrono::seconds(backoff), [&] { return stop; });
    backoff = std::min(backoff * 2, kMaxBackoffSeconds);
    return !stopping;
  }

  shout_t* make_shout() {
    shout_t* sh = shout_new();
    if (!sh) return nullptr;
    shout_set_host(sh, cfg.host.c_str());
    shout_set_port(sh, static_cast<unsigned short>(cfg.port));
    shout_set_protocol(sh, SHOUT_PROTOCOL_HTTP);
    shout_set_mount(sh, cfg.mount.c_str());
    shout_set_user(sh, cfg.user.c_str());
    shout_set_password(sh, cfg.password.c_str());
    shout_set_agent(sh, "quillon");
    shout_set_content_format(sh, cfg.format == ListenFormat::Opus ? SHOUT_FORMAT_OGG : SHOUT_FORMAT_MP3, SHOUT_USAGE_AUDIO, nullptr);
    shout_set_audio_info(sh, SHOUT_AI_CHANNELS, "1");
    shout_set_public(sh, cfg.is_public ? 1 : 0);
    const auto meta = [&](const char* key, const std::string& value) {
      if (!value.empty()) shout_set_meta(sh, key, value.c_str());
    };
    meta(SHOUT_META_NAME, cfg.name);
    meta(SHOUT_META_DESCRIPTION, cfg.description);
    meta(SHOUT_META_GENRE, cfg.genre);
    meta(SHOUT_META_URL, cfg.url);
    return sh;
  }

  static std::string open_failure(int rc, shout_t* sh) {
    const std::string detail = sh ? shout_get_error(sh) : "out of memory";
    switch (rc) {
      case SHOUTERR_NOLOGIN:
        return "refused the source login (wrong user or password, or the mount is in use): " + detail;
      case SHOUTERR_NOCONNECT:
        return "cannot connect: " + detail;
      case SHOUTERR_NOTLS:
      case SHOUTERR_TLSBADCERT:
      case SHOUTERR_UNSUPPORTED:
        return "TLS: " + detail;
      default:
        return detail;
    }
  }

  // Sends until the connection fails (returns why) or the source stops (returns "").
  std::string send_loop(shout_t* sh) {
    const bool mp3 = cfg.format == ListenFormat::Mp3;
    const auto interval = std::chrono::seconds(std::max(1, cfg.title_interval_seconds));
    auto title_at = std::chrono::steady_clock::now() - interval;
    std::string sent_title;
    for (;;) {
      std::deque<Unit> batch;
      std::string want_title;
      {
        std::unique_lock lock(mu);
        wake.wait_for(lock, std::chrono::seconds(1), [&] { return stop || !queue.empty(); });
        if (stop) return "";
        batch.swap(queue);
        queued_bytes = 0;
        want_title = title;
      }
      for (const Unit& u : batch) {
        if (shout_send(sh, u.bytes.data(), u.bytes.size()) != SHOUTERR_SUCCESS) return shout_get_error(sh);
        std::lock_guard lock(mu);
        figures.bytes_sent += u.bytes.size();
      }
      const auto now = std::chrono::steady_clock::now();
      if (mp3 && !want_title.empty() && want_title != sent_title && now - title_at >= interval) {
        // A separate admin request: a refusal loses the title only, never the stream.
        if (shout_metadata_t* md = shout_metadata_new()) {
          if (shout_metadata_add(md, "song", want_title.c_str()) == SHOUTERR_SUCCESS) {
            const int rc = shout_set_metadata_utf8(sh, md);
            std::lock_guard lock(mu);
            if (rc == SHOUTERR_SUCCESS) ++figures.titles_sent;
          }
          shout_metadata_free(md);
        }
        sent_title = want_title;
        title_at = now;
      }
    }
  }

  void run() {
    std::call_once(g_shout_once, [] { shout_init(); });
    shout_t* sh = nullptr;
    std::string no_tls;
    for (;;) {
      {
        std::lock_guard lock(mu);
        if (stop) break;
      }
      set_state(State::Connecting, "connecting to " + where());
      // A handle that never connected serves the next attempt too: libshout 2.4 does not free
      // one, so a new one per attempt would leak one per retry while Icecast is away.
      if (!sh) {
        sh = make_shout();
        if (sh && cfg.tls && shout_set_tls(sh, SHOUT_TLS_AUTO_NO_PLAIN) != SHOUTERR_SUCCESS)
          no_tls = "TLS is not available: " + std::string(shout_get_error(sh));
      }
      if (!no_tls.empty()) {  // never falls back to plain
        down(no_tls);
        if (!wait_backoff(no_tls)) break;
        continue;
      }
      const int rc = sh ? shout_open(sh) : SHOUTERR_MALLOC;
      if (rc != SHOUTERR_SUCCESS && rc != SHOUTERR_CONNECTED) {
        const std::string why = open_failure(rc, sh);
        // A handle that got as far as a connection (a refused login) is spent: closed and freed.
        // One that never connected stays clean and is used again.
        if (sh && shout_close(sh) != SHOUTERR_UNCONNECTED) {
          shout_free(sh);
          sh = nullptr;
        }
        down(why);
        if (!wait_backoff(why)) break;
        continue;
      }
      std::uint64_t gen = 0;
      {
        std::lock_guard lock(mu);
        gen = ++figures.connections;
        generation = gen;
        queue.clear();
        queued_bytes = 0;
      }
      backoff = kMinBackoffSeconds;
      up();
      // Subscribed on the loop before anybody there sees "connected".
      to_loop([this, gen] {
        if (on_connected) on_connected(gen);
      });
      set_state(State::Connected, "connected to " + where());
      const std::string why = send_loop(sh);
      shout_close(sh);
      shout_free(sh);  // a closed handle cannot open again in libshout 2.4: the next try gets a new one
      sh = nullptr;
      {
        std::lock_guard lock(mu);
        generation = 0;
        queue.clear();
        queued_bytes = 0;
      }
      to_loop([this] {
        if (on_disconnected) on_disconnected();
      });
      if (why.empty()) break;
      down(why);
      if (!wait_backoff(why)) break;
    }
    if (sh) shout_free(sh);
    set_state(State::Stopped, "stopped");
    {
      std::lock_guard lock(mu);
      finished = true;
    }
    wake.notify_all();
  }
};

IcecastSource::IcecastSource(EventLoop& loop, int channel, IcecastSettings settings, EncodedStream& stream, Log log)
    : loop_(loop), stream_(stream), worker_(std::make_shared<Worker>()), alive_(std::make_shared<int>(0)) {
  worker_->cfg = std::move(settings);
  worker_->channel = channel;
  worker_->log = std::move(log);
}

IcecastSource::~IcecastSource() { stop(); }

void IcecastSource::start() {
  if (started_ || stopped_) return;
  started_ = true;
  std::weak_ptr<int> alive = alive_;
  // The thread's events run on the loop, and only while this source lives; each one refreshes
  // the state the console shows.
  worker_->post = [this, alive, last = std::make_shared<std::string>()](std::function<void()> fn) {
    loop_.post([this, alive, last, fn = std::move(fn)] {
      if (alive.expired()) return;
      fn();
      const std::string text = state_text();
      if (text != *last) {
        *last = text;
        if (on_state) on_state(text);
      }
    });
  };
  worker_->on_connected = [this](std::uint64_t gen) { connected(gen); };
  worker_->on_disconnected = [this] { disconnected(); };
  std::thread([w = worker_] { w->run(); }).detach();
}

void IcecastSource::connected(std::uint64_t generation) {
  if (stopped_) return;
  disconnected();
  // A fresh subscription: an Ogg stream starts again with its header pages. An encoder that
  // cannot start sends nothing, and Icecast ends the idle source after its timeout.
  subscription_ = stream_.subscribe([w = worker_, generation](std::span<const std::uint8_t> bytes) { w->push(generation, bytes); });
}

void IcecastSource::disconnected() {
  if (subscription_ > 0) stream_.unsubscribe(subscription_);
  subscription_ = 0;
}

void IcecastSource::stop() {
  if (stopped_) return;
  stopped_ = true;
  disconnected();
  alive_.reset();
  {
    std::lock_guard lock(worker_->mu);
    worker_->stop = true;
    worker_->post = nullptr;
    worker_->on_connected = nullptr;
    worker_->on_disconnected = nullptr;
  }
  worker_->wake.notify_all();
  if (!started_) return;
  // A thread stuck in a blocking libshout call (a host that does not answer) is left to the end
  // of the process; it holds its own reference to what it touches.
  std::unique_lock lock(worker_->mu);
  worker_->wake.wait_for(lock, kStopWait, [&] { return worker_->finished.load(); });
}

void IcecastSource::set_title(const std::string& title) {
  if (worker_->cfg.format != ListenFormat::Mp3) return;
  std::lock_guard lock(worker_->mu);
  worker_->title = title;
}

IcecastSource::Figures IcecastSource::figures() const {
  std::lock_guard lock(worker_->mu);
  return worker_->figures;
}

std::string IcecastSource::state_text() const {
  std::lock_guard lock(worker_->mu);
  return worker_->state_text;
}

}  // namespace quillon::audio

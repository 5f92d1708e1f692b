#include "calls/call_filer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/log.hpp"

namespace quillon::calls {

namespace fs = std::filesystem;

namespace {

// A waiting row file is at most this large; anything larger is not one of ours.
constexpr std::uintmax_t kMaxRowBytes = 64 * 1024;

void sync_dir(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

nlohmann::json row_json(const CallRecord& r, std::uint64_t order) {
  return {{"order", order},     {"site", r.site},           {"channel", r.channel},       {"start_ms", r.start_ms},
          {"duration_ms", r.duration_ms}, {"frequency_hz", r.frequency_hz}, {"modulation", r.modulation},
          {"display", r.display}, {"signal_max", r.signal_max}, {"tone", r.tone},         {"part", r.part},
          {"prev_id", r.prev_id}, {"file", r.file},           {"bytes", r.bytes}};
}

CallRecord row_of(const nlohmann::json& j) {
  CallRecord r;
  r.site = j.at("site").get<std::string>();
  r.channel = j.at("channel").get<int>();
  r.start_ms = j.at("start_ms").get<std::int64_t>();
  r.duration_ms = j.at("duration_ms").get<int>();
  r.frequency_hz = j.at("frequency_hz").get<std::int64_t>();
  r.modulation = j.at("modulation").get<std::string>();
  r.display = j.at("display").get<std::array<std::string, 4>>();
  r.signal_max = j.at("signal_max").get<int>();
  r.tone = j.at("tone").get<std::string>();
  r.part = j.at("part").get<int>();
  r.prev_id = j.at("prev_id").get<std::int64_t>();
  r.file = j.at("file").get<std::string>();
  r.bytes = j.at("bytes").get<std::int64_t>();
  return r;
}

}  // namespace

CallFiler::CallFiler(EventLoop& loop, CallStore& store, std::size_t max_held)
    : loop_(loop), store_(store), max_held_(std::max<std::size_t>(1, max_held)) {}

CallFiler::~CallFiler() { stop(); }

void CallFiler::load() {
  held_.clear();
  spilled_ = 0;
  read_rows();
  if (waiting() > 0) log::info("call index: " + std::to_string(waiting()) + " calls of the last run wait to be stored");
}

void CallFiler::start() {
  running_ = true;
  flush();
}

void CallFiler::stop() {
  running_ = false;
  loop_.cancel(timer_);
  timer_ = 0;
}

void CallFiler::file(CallRecord r) {
  // Behind the calls already waiting: the index keeps the order calls end in.
  if (waiting() == 0 && store_one(r) != Outcome::Busy) return;
  keep(std::move(r));
}

CallFiler::Outcome CallFiler::store_one(CallRecord& r) {
  const std::size_t ch = static_cast<std::size_t>(std::clamp(r.channel, 1, 4) - 1);
  if (r.part > 1 && r.prev_id == 0) r.prev_id = last_id_[ch];
  try {
    store_.add(r);
  } catch (const StoreError& e) {
    if (e.busy) return Outcome::Busy;
    drop(r);
    if (on_failed) on_failed(r, e.what(), e.disk_full);
    return Outcome::Lost;
  }
  // The row is committed: the file goes to its place (a crash before this finishes the move on
  // the next start).
  const fs::path temp = store_.temp_path(r.file);
  const fs::path final_path = store_.dir() / r.file;
  std::error_code ec;
  fs::create_directories(final_path.parent_path(), ec);
  fs::rename(temp, final_path, ec);
  if (ec) {
    const std::string why = "cannot move " + temp.string() + ": " + ec.message();
    try {
      store_.remove(r.id);
    } catch (const StoreError&) {
      // A listed row without its file: the next start removes it.
    }
    drop(r);
    if (on_failed) on_failed(r, why, false);
    return Outcome::Lost;
  }
  sync_dir(final_path.parent_path());
  fs::remove(store_.row_path(r.file), ec);
  sync_dir(store_.incoming());
  last_id_[ch] = r.id;
  if (on_stored) on_stored(r);
  return Outcome::Stored;
}

void CallFiler::keep(CallRecord r) {
  if (!said_busy_) {
    said_busy_ = true;
    log::warning("call index busy (another process holds it); finished calls wait in " + store_.incoming().string() +
                 " and are stored when it is free");
  }
  Held h{std::move(r), 0};
  const std::uint64_t now_order =
      static_cast<std::uint64_t>(std::max<std::int64_t>(0, store_.wall_ms ? store_.wall_ms() : 0)) * 1000;
  h.order = std::max(last_order_ + 1, now_order);
  last_order_ = h.order;
  const bool written = write_row(h);
  // A row only in memory cannot wait on disk; one on disk need not stay in memory.
  if (!written || (spilled_ == 0 && held_.size() < max_held_))
    held_.push_back(std::move(h));
  else
    ++spilled_;
  arm();
}

bool CallFiler::write_row(const Held& h) {
  const fs::path path = store_.row_path(h.rec.file);
  const fs::path tmp = path.string() + ".tmp";
  const std::string text = row_json(h.rec, h.order).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  bool ok = fd >= 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  const int err = errno;
  if (fd >= 0) ::close(fd);
  std::error_code ec;
  if (ok) fs::rename(tmp, path, ec);
  if (!ok || ec) {
    fs::remove(tmp, ec);
    if (!said_unwritten_)
      log::warning("call index busy: cannot write " + path.string() + ": " + (ok ? ec.message() : std::strerror(err)) +
                   "; the call waits in memory only");
    said_unwritten_ = true;
    return false;
  }
  sync_dir(store_.incoming());
  return true;
}

void CallFiler::read_rows() {
  std::vector<Held> rows;
  std::error_code ec;
  for (fs::directory_iterator it(store_.incoming(), ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() != ".row") continue;
    std::error_code size_ec;
    const auto size = fs::file_size(it->path(), size_ec);
    std::string text;
    if (!size_ec && size <= kMaxRowBytes) {
      const int fd = ::open(it->path().c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        text.resize(static_cast<std::size_t>(size));
        const ssize_t n = ::read(fd, text.data(), text.size());
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        ::close(fd);
      }
    }
    try {
      const auto j = nlohmann::json::parse(text);
      Held h{row_of(j), j.at("order").get<std::uint64_t>()};
      // Only a row of this very file: a renamed or edited one is not trusted.
      if (store_.row_path(h.rec.file) != it->path()) throw std::runtime_error("another file's row");
      if (h.rec.file.empty() || h.rec.file.front() == '/' || h.rec.file.find("..") != std::string::npos)
        throw std::runtime_error("a file outside the calls folder");
      if (!fs::exists(store_.temp_path(h.rec.file))) continue;  // stored meanwhile
      rows.push_back(std::move(h));
    } catch (const std::exception& e) {
      log::warning("call index: " + it->path().string() + " is not a waiting call's row (" + e.what() + "); left as it is");
    }
  }
  std::sort(rows.begin(), rows.end(), [](const Held& a, const Held& b) { return a.order < b.order; });
  for (const auto& r : rows) last_order_ = std::max(last_order_, r.order);
  const std::size_t take = std::min(rows.size(), max_held_);
  for (std::size_t i = 0; i < take; ++i) held_.push_back(std::move(rows[i]));
  spilled_ = rows.size() - take;
}

void CallFiler::flush() {
  if (!running_) return;
  for (int n = 0;; ++n) {
    if (held_.empty() && spilled_ > 0) read_rows();
    if (held_.empty()) break;
    if (n == kPerTurn) return arm(kNextTurn);
    Held& h = held_.front();
    if (store_one(h.rec) == Outcome::Busy) return arm();
    held_.pop_front();
  }
  if (said_busy_) {
    said_busy_ = false;
    log::info("call index free again: every waiting call is stored");
  }
  // Busy for someone else (the uploads, retention): the first free moment clears what is shown.
  if (store_.busy_since_ms() && !store_.probe()) arm();
}

void CallFiler::arm(Millis after) {
  if (!running_ || timer_) return;
  timer_ = loop_.call_after(after, [this] {
    timer_ = 0;
    flush();
  });
}

void CallFiler::drop(const CallRecord& r) {
  std::error_code ec;
  fs::remove(store_.temp_path(r.file), ec);
  fs::remove(store_.row_path(r.file), ec);
}

}  // namespace quillon::calls

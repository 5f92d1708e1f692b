#pragma once
// The calls' index: one SQLite database (WAL, full-text search on tags and display text,
// incremental vacuum) beside the audio files under DATA/calls/YYYY/MM/DD/.
//
// The index and the files agree after a crash: a call's audio is written to incoming/ under a
// temporary name and flushed, its row committed, then the file renamed to its place. On opening,
// a temporary file whose row exists is moved to its place (it was complete), any other is removed
// (a call cut short by a crash is not kept); a row whose file is gone is removed. Retention
// removes the file before the row, so a crash in between leaves a row without a file, which the
// next opening removes. Only the newest and oldest rows can be affected, so opening checks those.
//
// Another process may hold the index for a while (a backup, a sqlite3 shell, a VACUUM): SQLite
// waits only a few milliseconds for it on the loop, then the operation throws a StoreError with
// `busy` set and the store notes since when; the caller tries again later (CallFiler keeps the
// finished calls meanwhile). A temporary file with a row file beside it (NAME.row) is such a
// call: opening leaves both for the filer.
//
// The store is the one owner of the database: the upload queues' statements live here too
// (call_store_uploads.cpp), the uploader keeps only what is in flight.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace quillon::calls {

struct CallRecord {
  std::int64_t id = 0;
  std::string site;
  int channel = 0;
  std::int64_t start_ms = 0;  // UTC
  int duration_ms = 0;
  std::int64_t frequency_hz = 0;
  std::string modulation;
  std::array<std::string, 4> display{};
  int signal_max = 0;
  std::string tone;
  int part = 1;
  std::int64_t prev_id = 0;  // the part before, when a hard maximum split the call
  std::string file;          // under the calls folder: "2026/12/08/c1-024107250.opus"
  std::int64_t bytes = 0;

  // The same transmission heard on other channels (see "Linked calls" below): the id of the
  // first stored call of the linked recordings; 0 when heard on this channel only; kKeptApart
  // when an operator separated it (never linked again).
  std::int64_t link_id = 0;
  // Linked to a call stored before it: the transmission was already there, so whatever should
  // happen once per transmission (an alert, a notice) has happened for the earlier call.
  bool duplicate = false;
  // The recording the list shows and plays for its transmission: every call heard alone is; of
  // linked calls the one with the highest signal_max (the earlier stored on a tie).
  bool shown = true;

  // The channel and bank tags (display lines 3 and 4), those shown.
  std::vector<std::string> tags() const;
};

// Linked calls. Calls on different channels whose frequencies differ by less than
// kLinkToleranceHz and whose times overlap are one transmission heard by two radios: linked in
// the same transaction that stores the later one, listed once (the best recording), the others
// kept and reachable. A call with no frequency (0) is never linked.
inline constexpr std::int64_t kLinkToleranceHz = 5000;
inline constexpr std::int64_t kKeptApart = -1;
inline bool same_frequency(std::int64_t a_hz, std::int64_t b_hz) {
  return a_hz > 0 && b_hz > 0 && (a_hz > b_hz ? a_hz - b_hz : b_hz - a_hz) < kLinkToleranceHz;
}

// One recording of a linked transmission.
struct LinkedRecording {
  std::int64_t link_id = 0;
  std::int64_t id = 0;
  int channel = 0;
  int signal_max = 0;
  bool shown = false;
};

class ActivityBook;
struct ActivityQuery;
struct Activity;

struct CallQuery {
  std::optional<int> channel;
  std::optional<std::int64_t> frequency_hz;
  std::optional<std::int64_t> from_ms, to_ms;  // start within [from, to)
  std::string text;                            // words in tags or display
  std::optional<int> min_ms;
  int limit = 50;
  std::optional<std::int64_t> before;  // ids below this (the cursor)
  bool alerted = false;                 // only calls an alert named
};

// Newest stored first, each transmission once (its shown recording; with a channel, every call
// of that channel, linked or not): ids follow the order calls end in, so a time range is also a range of
// ids, which both the table and the text index walk backwards without sorting.
struct CallPage {
  std::vector<CallRecord> calls;
  std::optional<std::int64_t> next;
};

struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
  bool disk_full = false;
  bool busy = false;  // another connection holds the index; try again later
};

// A call's state for one upload destination, as stored.
// Linked: not sent, since another recording of the same transmission goes to that destination.
enum UploadState { kUploadQueued = 0, kUploadSending = 1, kUploadDone = 2, kUploadRefused = 3, kUploadGivenUp = 4, kUploadLinked = 5 };
const char* upload_state_name(int state);

// An alert as stored: a tone-out or a rule that fired, with the call it names (0: none yet). A
// tone-out is stored twice: once when the tones end, once more (with its call) when the call ends.
struct AlertRow {
  std::int64_t id = 0;
  std::string kind;  // "tones" or "call"
  std::string name;  // the tone set's or rule's name
  int channel = 0;
  std::int64_t at_ms = 0;  // UTC: when the tones ended, or when the call started
  std::int64_t call_id = 0;
  // Where it went: destination and state (the upload states' names).
  std::vector<std::pair<std::string, int>> deliveries;
  std::vector<std::string> reasons;  // beside deliveries
};

// One call's entry in one destination's queue.
struct UploadEntry {
  std::int64_t call_id = 0;
  std::string destination;
  int state = kUploadQueued;
  std::string reason;
};

class CallStore {
 public:
  // Opens (creating) DIR/calls.db and reconciles it with DIR's files. Throws StoreError.
  explicit CallStore(const std::filesystem::path& dir);
  ~CallStore();
  CallStore(const CallStore&) = delete;
  CallStore& operator=(const CallStore&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path incoming() const { return dir_ / "incoming"; }
  // Where a call's audio waits until its row is committed.
  std::filesystem::path temp_path(const std::string& file) const;

  // Where a call waiting for a busy index keeps its row until it is stored.
  std::filesystem::path row_path(const std::string& file) const;

  // Commits the row (id set); the caller then moves the file in place. Throws StoreError.
  std::int64_t add(CallRecord& r);
  // Removes a row whose file could not be put in place.
  void remove(std::int64_t id);
  // Throw StoreError when the index cannot be read (busy set when it is held).
  std::optional<CallRecord> get(std::int64_t id);
  CallPage find(const CallQuery& q);
  // The row of a file, if it is listed.
  std::optional<CallRecord> get_by_file(const std::string& file);

  // Since when (UTC ms) the index is busy: set by an operation that found it held, cleared by a
  // write that went through.
  std::optional<std::int64_t> busy_since_ms() const { return busy_since_ms_; }
  // Takes and gives back the write lock: clears busy_since when the index is free again.
  bool probe();
  // The wall clock for busy_since (the loop's in the server and in tests).
  std::function<std::int64_t()> wall_ms;
  // What a call carries beyond what its radio heard: the pre-roll before and the hang after.
  // Two calls are one transmission when the times their radios heard overlap: their stored
  // times overlap by more than this (a reply on the same frequency that follows within the hang
  // is another transmission).
  std::int64_t link_margin_ms = 0;

  // The upload queues, kept beside the calls. Each throws StoreError.
  struct UploadDest {
    std::string name;
    std::array<bool, 4> channels{};
  };
  void open_upload_queues();
  // At start: what was being sent goes back to waiting (unacknowledged), entries of removed calls
  // go, a new destination begins with the calls from now on, and calls stored after each
  // destination's last queued one are queued. Returns each destination's backlog.
  std::vector<std::uint64_t> start_upload_queues(const std::vector<UploadDest>& dests);
  // Queues the calls stored after the destination's last queued one; returns how many.
  std::uint64_t queue_new_calls(const UploadDest& dest);
  std::optional<std::int64_t> next_upload(const std::string& dest);
  void set_upload_state(const std::string& dest, std::int64_t call_id, int state, const std::string& reason);
  // Destinations still to send this call (queued or sending).
  std::vector<std::string> uploads_waiting(std::int64_t call_id);
  // Marks every waiting entry of the call given up, with the reason.
  void give_up_uploads(std::int64_t call_id, const std::string& reason);
  // The entries of these calls (ordered by call, then destination); without queues none.
  std::vector<UploadEntry> upload_entries(const std::vector<std::int64_t>& ids);
  // The entries of the newest `calls` calls that were queued, newest first.
  std::vector<UploadEntry> recent_uploads(int calls);

  // Linked calls (call_store.cpp, "Linked calls"). The recordings of these transmissions
  // (link ids), ordered by link id, then best first.
  std::vector<LinkedRecording> linked_recordings(const std::vector<std::int64_t>& link_ids);
  // Separates the transmission of call `id` into its recordings again, each listed on its own
  // and never linked again; uploads held back as linked are queued again. Returns the ids
  // separated (none when the call is not linked). Throws StoreError.
  std::vector<std::int64_t> unlink(std::int64_t id);
  // Told after unlink() queued uploads again (the uploader sends them).
  std::function<void()> on_requeued;
  // For the uploader: the call of the same transmission that goes to `dest` instead of `r` (one
  // already sending or sent there, or one waiting there that is the better recording); nothing
  // when `r` should go.
  std::optional<std::int64_t> upload_goes_as(const std::string& dest, const CallRecord& r);
  // The alerts and their delivery queues, kept beside the calls (call_store_alerts.cpp). Each
  // throws StoreError.
  // Stores the alert and queues it for each destination, together; returns its id.
  std::int64_t add_alert(const AlertRow& a, const std::vector<std::string>& dests);
  // At start: what was being sent goes back to waiting; returns each destination's backlog.
  std::vector<std::uint64_t> start_alert_queues(const std::vector<std::string>& dests);
  std::optional<std::int64_t> next_alert(const std::string& dest);
  std::optional<AlertRow> get_alert(std::int64_t id);
  void set_alert_state(const std::string& dest, std::int64_t alert_id, int state, const std::string& reason);
  // The newest alerts (of the channels set), newest first, with their deliveries.
  std::vector<AlertRow> recent_alerts(int limit, const std::array<bool, 4>& channels = {true, true, true, true});
  // Which of these calls an alert named.
  std::vector<std::int64_t> alerted_calls(const std::vector<std::int64_t>& ids);

  // Removes the oldest calls (file, then row) older than keep_days or beyond keep_mb together;
  // 0 keeps all. Returns how many went.
  int retain(int keep_days, std::int64_t keep_mb, std::int64_t now_ms);
  // Asked by retain() about each call it would remove: true keeps it (still waiting for upload).
  std::function<bool(const CallRecord&)> held;

  std::int64_t total_bytes() const { return total_bytes_; }
  std::array<std::int64_t, 4> channel_bytes() const { return channel_bytes_; }
  std::int64_t count();
  // What opening found: temporary files moved in place, removed, rows without files removed.
  struct Recovery {
    int finished = 0, removed_temp = 0, removed_rows = 0;
  };
  Recovery recovery() const { return recovery_; }

  // Activity at a glance (call_activity.hpp), on the loop's connection: for tests and tools; the
  // server asks an ActivityReader. Throws StoreError.
  Activity activity(const ActivityQuery& q);
  // Whether the per-hour tables are kept in step with the calls (false when opening could not
  // check or rebuild them: another process held the index; the next opening does).
  bool activity_kept() const { return activity_kept_; }

 private:
  void exec(const char* sql);
  void create_alert_tables();
  void reconcile();
  void remove_rows(const std::vector<CallRecord>& rows);
  // Throws for the database's last error; `code` and `message` when a later call (a rollback)
  // would have overwritten it.
  [[noreturn]] void fail(const std::string& what);
  [[noreturn]] void fail(const std::string& what, int code, const std::string& message);
  void rollback();
  // After a failed step inside a transaction: SQLite's error as it stands, then the rollback.
  [[noreturn]] void fail_rolled_back(const std::string& what);
  void written();
  // Linked calls: the columns and statements (on opening), linking a call just inserted, and
  // the choice of the shown recording of a transmission (inside the caller's transaction).
  void open_links();
  void close_links();
  void link_new(CallRecord& r);
  // Chooses the shown recording of a transmission; one left alone is a call heard alone.
  // Returns the shown call's id (0 when none is linked any more).
  std::int64_t relink(std::int64_t link_id);
  void relink_removed(const std::vector<CallRecord>& rows);
  void set_search_text(std::int64_t id, const std::string& tags, const std::string& display);
  sqlite3_stmt* link_stmt(int which, const char* sql);
  std::array<sqlite3_stmt*, 8> link_stmts_{};
  bool uploads_open_ = false;
  std::optional<std::int64_t> busy_since_ms_;

  std::filesystem::path dir_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* insert_text_ = nullptr;
  std::int64_t total_bytes_ = 0;
  std::array<std::int64_t, 4> channel_bytes_{};
  Recovery recovery_;
  std::unique_ptr<ActivityBook> activity_;
  bool activity_kept_ = false;
  void open_activity();
};

// Words of a search as the text index's prefix terms, each quoted ("" for no word).
std::string fts_match_expression(const std::string& text);

// "2026-12-08T02:41:07.250Z"
std::string rfc3339_ms(std::int64_t ms);
// Accepts "YYYY-MM-DDTHH:MM:SS[.fff](Z|+hh:mm|-hh:mm)"; nothing for any other text.
std::optional<std::int64_t> parse_rfc3339(const std::string& text);

}  // namespace quillon::calls

#pragma once
// Diagnostics on standard error, one line each, "quillon: " first. Under systemd (standard error
// is the journal stream named by JOURNAL_STREAM) every line starts with its syslog priority
// ("<3>" error, "<4>" warning, "<6>" info, "<7>" debug) so the journal keeps the level. Lines
// below the chosen level are not written. Safe to call from any thread: a line is one write.

#include <optional>
#include <string_view>

namespace quillon::log {

enum class Level { error = 3, warning = 4, info = 6, debug = 7 };

// "error", "warning", "info", "debug"; nothing for any other text.
std::optional<Level> parse_level(std::string_view text);

// Reads JOURNAL_STREAM once and sets the least severe level written (default info).
void configure(Level threshold);

// Where the lines go (standard error unless the StderrFunnel stands in front of it).
void set_output(int fd);

void write(Level level, std::string_view text);
inline void error(std::string_view text) { write(Level::error, text); }
inline void warning(std::string_view text) { write(Level::warning, text); }
inline void info(std::string_view text) { write(Level::info, text); }
inline void debug(std::string_view text) { write(Level::debug, text); }

}  // namespace quillon::log

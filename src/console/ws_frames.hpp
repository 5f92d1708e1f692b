#pragma once
// WebSocket frames as bytes, for the live sockets: after Beast has answered the upgrade, a live
// socket frames its own messages, so that whatever waits for a listener goes out in one write
// (one system call for several messages), and reads the little a page sends itself (pings, its
// close). Pure functions, no I/O.
//
// The server's frames are whole messages, never masked. A client's frames are masked; their
// payloads are not kept (a live socket ignores what a page says) except a ping's and a close's.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillon::ws {

enum Opcode : std::uint8_t { kContinuation = 0, kText = 1, kBinary = 2, kClose = 8, kPing = 9, kPong = 10 };

// Appends one whole, unmasked message of `payload` to `out`: its header, then the payload.
inline void append_frame(std::vector<std::uint8_t>& out, Opcode op, std::span<const std::uint8_t> payload) {
  const std::uint64_t n = payload.size();
  out.push_back(static_cast<std::uint8_t>(0x80 | op));
  if (n < 126) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n < 65536) {
    out.push_back(126);
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    out.push_back(127);
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  }
  out.insert(out.end(), payload.begin(), payload.end());
}

// A close frame with `code` (1008: policy, 1000: normal).
inline std::vector<std::uint8_t> close_frame(std::uint16_t code) {
  const std::uint8_t body[2]{static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
  std::vector<std::uint8_t> out;
  append_frame(out, kClose, body);
  return out;
}

// One frame a client sent: its opcode and, for control frames, the payload unmasked.
struct ClientFrame {
  Opcode op = kContinuation;
  std::string control;  // a ping's or a close's payload (at most 125 bytes)
};

// Reads client frames from the front of `in`, taking each whole one out of it. Returns the
// frames found; `bad` is set (and reading stops) on what no client may send: an unmasked frame,
// a control frame longer than 125 bytes or cut in pieces, reserved bits or opcodes, or a frame
// longer than `max_frame`.
inline std::vector<ClientFrame> read_client_frames(std::string& in, std::size_t max_frame, bool& bad) {
  std::vector<ClientFrame> out;
  std::size_t at = 0;
  bad = false;
  while (in.size() - at >= 2) {
    const auto b0 = static_cast<std::uint8_t>(in[at]), b1 = static_cast<std::uint8_t>(in[at + 1]);
    const auto op = static_cast<Opcode>(b0 & 0x0f);
    const bool fin = (b0 & 0x80) != 0, masked = (b1 & 0x80) != 0;
    const bool control = (op & 0x08) != 0;
    const bool known = op == kContinuation || op == kText || op == kBinary || op == kClose || op == kPing || op == kPong;
    if ((b0 & 0x70) != 0 || !masked || !known || (control && (!fin || (b1 & 0x7f) > 125))) {
      bad = true;
      break;
    }
    std::uint64_t len = b1 & 0x7f;
    std::size_t head = 2;
    if (len == 126 || len == 127) {
      const std::size_t bytes = len == 126 ? 2 : 8;
      if (in.size() - at < head + bytes) break;
      len = 0;
      for (std::size_t i = 0; i < bytes; ++i) len = (len << 8) | static_cast<std::uint8_t>(in[at + head + i]);
      head += bytes;
    }
    if (len > max_frame) {
      bad = true;
      break;
    }
    if (in.size() - at < head + 4 + len) break;
    const std::size_t key = at + head, body = key + 4;
    ClientFrame f;
    f.op = op;
    if (control) {
      f.control.resize(static_cast<std::size_t>(len));
      for (std::size_t i = 0; i < len; ++i) f.control[i] = static_cast<char>(in[body + i] ^ in[key + i % 4]);
    }
    out.push_back(std::move(f));
    at = body + static_cast<std::size_t>(len);
  }
  in.erase(0, at);
  return out;
}

}  // namespace quillon::ws

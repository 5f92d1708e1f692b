#pragma once
// A connection's byte stream, plain TCP or TLS over it, as one type. The HTTP, WebSocket and live
// sessions are written once over it and compiled once (templates over both kinds of stream made
// the console the slowest part of the build); only the few calls below choose between the two.

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <array>
#include <cstddef>
#include <memory>

namespace quillon::console_http {

// The first buffers of a sequence (empty ones left out): a read or write of some bytes may take
// fewer than it is offered, and the composed operations go on with the rest.
template <class Buffer, std::size_t N>
struct BufferList {
  std::array<Buffer, N> items{};
  std::size_t count = 0;
  const Buffer* begin() const { return items.data(); }
  const Buffer* end() const { return items.data() + count; }

  template <class Sequence>
  static BufferList of(const Sequence& sequence) {
    BufferList list;
    for (auto it = boost::asio::buffer_sequence_begin(sequence), e = boost::asio::buffer_sequence_end(sequence);
         it != e && list.count < N; ++it) {
      const Buffer b(*it);
      if (b.size() > 0) list.items[list.count++] = b;
    }
    return list;
  }
};

class AnyStream {
 public:
  using executor_type = boost::asio::any_io_executor;
  using next_layer_type = boost::beast::tcp_stream;  // what beast::get_lowest_layer reaches
  using TlsLayer = boost::beast::ssl_stream<boost::beast::tcp_stream>;
  using MutableBuffers = BufferList<boost::asio::mutable_buffer, 16>;
  using ConstBuffers = BufferList<boost::asio::const_buffer, 64>;  // a response's header fields each
  using IoHandler = boost::asio::any_completion_handler<void(boost::system::error_code, std::size_t)>;
  using DoneHandler = boost::asio::any_completion_handler<void(boost::system::error_code)>;

  explicit AnyStream(boost::beast::tcp_stream plain);
  AnyStream(boost::beast::tcp_stream plain, boost::asio::ssl::context& tls);
  AnyStream(AnyStream&&) noexcept;
  AnyStream& operator=(AnyStream&&) noexcept;
  ~AnyStream();

  executor_type get_executor();
  next_layer_type& next_layer();
  // The TLS layer, null on a plain connection (its handshake is the session's first step).
  TlsLayer* tls() { return tls_.get(); }

  // From here on a plain connection reads and writes its socket directly, past the TCP layer's
  // timeouts: for a live socket, which keeps its own time and writes 50 times a second.
  void bypass_timeouts() { bypass_ = true; }

  template <class MutableBufferSequence, class Token>
  auto async_read_some(const MutableBufferSequence& buffers, Token&& token) {
    return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const MutableBuffers& list) { read_some(list, IoHandler(std::move(handler))); }, token,
        MutableBuffers::of(buffers));
  }

  template <class ConstBufferSequence, class Token>
  auto async_write_some(const ConstBufferSequence& buffers, Token&& token) {
    return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const ConstBuffers& list) { write_some(list, IoHandler(std::move(handler))); }, token,
        ConstBuffers::of(buffers));
  }

  // The WebSocket stream's closing of its connection, found by argument-dependent lookup.
  friend void teardown(boost::beast::role_type role, AnyStream& stream, boost::system::error_code& ec) {
    stream.teardown_now(role, ec);
  }
  template <class Handler>
  friend void async_teardown(boost::beast::role_type role, AnyStream& stream, Handler&& handler) {
    stream.start_teardown(role, DoneHandler(std::forward<Handler>(handler)));
  }

 private:
  void read_some(const MutableBuffers& buffers, IoHandler handler);
  void write_some(const ConstBuffers& buffers, IoHandler handler);
  void teardown_now(boost::beast::role_type role, boost::system::error_code& ec);
  void start_teardown(boost::beast::role_type role, DoneHandler handler);

  // One of the two is set; on the heap so that the TCP layer stays where it is when the stream
  // moves from the HTTP session to a WebSocket session.
  std::unique_ptr<boost::beast::tcp_stream> plain_;
  std::unique_ptr<TlsLayer> tls_;
  bool bypass_ = false;
};

}  // namespace quillon::console_http

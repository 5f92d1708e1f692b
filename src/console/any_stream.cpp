#include "console/any_stream.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/beast/websocket/teardown.hpp>

namespace quillon::console_http {

AnyStream::AnyStream(boost::beast::tcp_stream plain) : plain_(std::make_unique<boost::beast::tcp_stream>(std::move(plain))) {}

AnyStream::AnyStream(boost::beast::tcp_stream plain, boost::asio::ssl::context& tls)
    : tls_(std::make_unique<TlsLayer>(std::move(plain), tls)) {}

AnyStream::AnyStream(AnyStream&&) noexcept = default;
AnyStream& AnyStream::operator=(AnyStream&&) noexcept = default;
AnyStream::~AnyStream() = default;

AnyStream::executor_type AnyStream::get_executor() { return next_layer().get_executor(); }

AnyStream::next_layer_type& AnyStream::next_layer() { return tls_ ? tls_->next_layer() : *plain_; }

// The operations below post completions through the handler's executor, which must be able to
// say "never blocking": the connection's executor can, a type-erased handler's own cannot. The
// handlers come from coroutines on that same executor.
void AnyStream::read_some(const MutableBuffers& buffers, IoHandler handler) {
  auto bound = boost::asio::bind_executor(get_executor(), std::move(handler));
  if (tls_) tls_->async_read_some(buffers, std::move(bound));
  else if (bypass_) plain_->socket().async_read_some(buffers, std::move(bound));
  else plain_->async_read_some(buffers, std::move(bound));
}

void AnyStream::write_some(const ConstBuffers& buffers, IoHandler handler) {
  auto bound = boost::asio::bind_executor(get_executor(), std::move(handler));
  if (tls_) tls_->async_write_some(buffers, std::move(bound));
  else if (bypass_) plain_->socket().async_write_some(buffers, std::move(bound));
  else plain_->async_write_some(buffers, std::move(bound));
}

void AnyStream::teardown_now(boost::beast::role_type role, boost::system::error_code& ec) {
  using boost::beast::websocket::teardown;
  if (tls_) teardown(role, *tls_, ec);
  else teardown(role, *plain_, ec);
}

void AnyStream::start_teardown(boost::beast::role_type role, DoneHandler handler) {
  using boost::beast::websocket::async_teardown;
  auto bound = boost::asio::bind_executor(get_executor(), std::move(handler));
  if (tls_) async_teardown(role, *tls_, std::move(bound));
  else async_teardown(role, *plain_, std::move(bound));
}

}  // namespace quillon::console_http

#pragma once
// The streaming server component. It listens on `Port` while its chain runs.
//   Proto 0 (TCP): every client gets a WAV header (Microsoft GSM 6.10, 8000 Hz mono, open-ended
//     length) and then the live 65-byte blocks, so `ffplay tcp://HOST:PORT` plays it.
//   Proto 1 (UDP): RTP, payload type 3 (GSM), one 33-byte frame of 20 ms per packet, to every
//     endpoint (address and port) that has sent a datagram to the port in the last 30 seconds;
//     what the datagram says is ignored. A datagram's sender can be forged, so new registrations
//     per source network are rate-limited and all servers share one UDP send budget.
// Listens on `bind_to` (all addresses by default). A failed accept (out of descriptors) is
// retried after a pause rather than at once.
// At most MaxClients clients; a full server closes a new TCP connection at once and ignores a
// new UDP address. A TCP client that cannot keep up (its queue reaches 2 s of audio) is dropped.
//
// Each listener has its own GSM encoder, started with its stream (see BlockInput).
//
// StatusValue: 0 stopped, 1 listening and waiting for audio, 2 streaming (a block went out in
// the last 2 seconds), 3 the port could not be opened (in use, invalid).
//
// Runs entirely on the thread of the io_context it is given (the loop thread).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/audio_chain.hpp"

namespace boost::asio {
class io_context;
}

namespace quillon::audio {

// What the UDP audio of all servers together may send per second. Registrations are unverified
// (a datagram's sender can be forged), so this bounds what forged ones can cost in total; the
// default is above what the admitted clients of four channels take.
class UdpSendBudget {
 public:
  static constexpr std::size_t kDefaultBytesPerSecond = 160 * 1024;
  explicit UdpSendBudget(std::size_t bytes_per_second) : per_second_(bytes_per_second) {}
  // The budget the servers share unless given another.
  static std::shared_ptr<UdpSendBudget> shared();
  // Whether `bytes` may go out now; a refused packet is counted.
  bool take(std::size_t bytes, std::chrono::steady_clock::time_point now);
  std::uint64_t refused() const { return refused_; }

 private:
  std::size_t per_second_;
  std::chrono::steady_clock::time_point window_{};
  std::size_t spent_ = 0;
  std::uint64_t refused_ = 0;
};

namespace status {
inline constexpr int stopped = 0, waiting = 1, streaming = 2, port_failed = 3;
}

class AudioIpServer final : public IpServer, public BlockInput {
 public:
  static constexpr std::size_t kMaxQueuedBlocks = 50;  // 2 s of audio per TCP client
  static constexpr std::chrono::seconds kUdpIdle{30};
  // New UDP registrations per source network (IPv4 /24, IPv6 /64) per window, and the networks
  // remembered at once (beyond that, new addresses wait for the window to pass).
  static constexpr int kUdpRegistrationsPerNetwork = 4;
  static constexpr std::chrono::seconds kUdpRegistrationWindow{30};
  static constexpr std::size_t kMaxUdpNetworks = 256;

  explicit AudioIpServer(boost::asio::io_context& io);
  ~AudioIpServer() override;

  // IpServer contract
  void set_max_clients(int n) override;
  int max_clients() const override { return max_clients_; }
  void set_port(const std::string& port) override { port_ = port; }
  std::string port() const override { return port_; }
  void set_proto(int proto) override;
  int proto() const override { return proto_; }
  // False stops listening and drops the clients; True listens again while the chain runs.
  void set_active(bool active) override;
  bool active() const override;
  int client_count() const override;
  int status_value() const override;

  // Chain
  void chain_start(int input_rate) override;
  void chain_stop() override;
  void pcm_block(const PcmBlock& block) override;
  bool has_listeners() const override { return client_count() > 0; }

  void set_udp_budget(std::shared_ptr<UdpSendBudget> budget);
  std::uint64_t udp_registrations_refused() const;

  // After every attempt to open the port: the port and why it failed ("" when it listens).
  std::function<void(int port, const std::string& failure)> on_listen;

  // Diagnostics
  std::uint64_t clients_dropped() const;
  std::uint16_t bound_port() const;  // the port actually listened on, 0 when not listening

 private:
  void start_listening();
  void stop_listening();

  struct Impl;
  std::shared_ptr<Impl> impl_;  // shared with pending socket handlers
  int max_clients_ = 4;
  int proto_ = 0;
  std::string port_;
  bool chain_running_ = false;
};

}  // namespace quillon::audio

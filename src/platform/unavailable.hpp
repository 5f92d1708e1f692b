#pragma once
// Stand-ins for platform objects that are not built yet: every operation fails the way an absent
// device would. They keep the server runnable while an adapter is missing.

#include "platform/audio_components.hpp"
#include "platform/errors.hpp"
#include "platform/serial_port.hpp"
#include "platform/socket.hpp"

namespace quillon {

class UnavailableSerialPort final : public SerialPort {
 public:
  void set_comm_port(int n) override { port_ = n; }
  int comm_port() const override { return port_; }
  void set_settings(std::string_view s) override { settings_ = s; }
  std::string settings() const override { return settings_; }
  void set_port_open(bool open) override {
    if (open) throw Error(errc::port_not_available, "port not available");
  }
  bool port_open() const override { return false; }
  std::string input() override { throw Error(errc::port_not_open, "port not open"); }
  void output(std::string_view) override { throw Error(errc::port_not_open, "port not open"); }

 private:
  int port_ = 1;
  std::string settings_ = "9600,n,8,1";
};

class UnavailableSocket final : public Socket {
 public:
  void set_local_port(int p) override { port_ = p; }
  int local_port() const override { return port_; }
  void listen() override { throw Error(errc::generic, "sockets not available"); }
  void accept(RequestId) override { throw Error(errc::generic, "sockets not available"); }
  int state() const override { return sockstate::closed; }
  std::string get_data() override { return {}; }
  void send_data(std::string_view) override {}
  void close() override {}

 private:
  int port_ = 0;
};

class UnavailableSocketFactory final : public SocketFactory {
 public:
  std::unique_ptr<Socket> create() override { return std::make_unique<UnavailableSocket>(); }
};

class UnavailableCapture final : public CaptureDevice {
 public:
  void attach_consumer(AudioConsumer&) override {}
  void set_active(bool) override {}
  bool active() const override { return false; }
  void set_device_id(int id) override { id_ = id; }
  int device_id() const override { return id_; }
  void set_pcm_samples_per_sec(int r) override { rate_ = r; }
  int pcm_samples_per_sec() const override { return rate_; }
  std::string device_name(int) const override { throw Error(errc::generic, "no device"); }

 private:
  int id_ = -1, rate_ = 44100;
};

class UnavailableCodec final : public Codec {
 public:
  void attach_consumer(AudioConsumer&) override {}
  bool active() const override { return false; }
};

class UnavailableIpServer final : public IpServer {
 public:
  void set_max_clients(int n) override { max_ = n; }
  int max_clients() const override { return max_; }
  void set_port(const std::string& p) override { port_ = p; }
  std::string port() const override { return port_; }
  void set_proto(int p) override { proto_ = p; }
  int proto() const override { return proto_; }
  void set_active(bool) override {}
  bool active() const override { return false; }
  int client_count() const override { return 0; }
  int status_value() const override { return 0; }

 private:
  int max_ = 4, proto_ = 0;
  std::string port_;
};

}  // namespace quillon

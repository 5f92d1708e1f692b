#pragma once
// Test doubles for the platform contracts and a server built on them in virtual time.
// Extend them here (one place) rather than writing new ones per test.

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/server.hpp"
#include "core/errors.hpp"
#include "core/virtual_event_loop.hpp"

namespace quillon::test {

// Serial devices shared by the port objects of one server. A device is open in at most one
// port object at a time (another gets 8005, as with the exclusive lock of the real adapter),
// opening flushes what the device had sent, and a radio answers the identification query "SI"
// only at its own line speed.
struct FakeSerialBus {
  struct Radio {
    std::string settings;  // "9600,n,8,1"
    std::string id_reply;  // "SI BC785D,...\r"
  };
  std::vector<int> present;
  std::map<int, Radio> radios;                 // by port number
  std::map<int, const SerialPort*> holder;     // port number -> the object that has it open
  std::vector<std::string> opens;              // "3@9600,n,8,1" for every open, any object
};

// A serial port whose device presence, lock and line the test controls: on its own (`present`,
// `held_elsewhere`) or through a FakeSerialBus shared with the other port objects.
class FakeSerialPort final : public SerialPort {
 public:
  // Port numbers that exist, and those another program holds.
  std::vector<int> present{1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<int> held_elsewhere;
  FakeSerialBus* bus = nullptr;      // when set, presence and holders come from it
  std::string rx;                    // received, not yet taken
  std::vector<std::string> written;  // every output() call
  int opens = 0, closes = 0;

  void set_comm_port(int n) override {
    if (open_) throw Error(errc::port_already_open, "port already open");
    port_ = n;
  }
  int comm_port() const override { return port_; }
  void set_settings(std::string_view s) override { settings_ = s; }
  std::string settings() const override { return settings_; }
  void set_port_open(bool open) override {
    if (open) {
      if (open_) throw Error(errc::port_already_open, "port already open");
      const auto& exists = bus ? bus->present : present;
      if (std::find(exists.begin(), exists.end(), port_) == exists.end())
        throw Error(errc::port_not_available, "port not available");
      if (std::find(held_elsewhere.begin(), held_elsewhere.end(), port_) != held_elsewhere.end() ||
          (bus && bus->holder.count(port_)))
        throw Error(errc::port_already_open, "port already open");
      open_ = true;
      ++opens;
      if (bus) {
        bus->holder[port_] = this;
        bus->opens.push_back(std::to_string(port_) + "@" + settings_);
        rx.clear();
      }
    } else {
      if (!open_) throw Error(errc::port_not_open, "port not open");
      open_ = false;
      ++closes;
      if (bus) bus->holder.erase(port_);
    }
  }
  bool port_open() const override { return open_; }
  std::string input() override {
    if (!open_) throw Error(errc::port_not_open, "port not open");
    return std::exchange(rx, {});
  }
  void output(std::string_view text) override {
    if (!open_) throw Error(errc::port_not_open, "port not open");
    written.emplace_back(text);
    if (!bus || text != "SI\r") return;
    auto radio = bus->radios.find(port_);
    if (radio != bus->radios.end() && radio->second.settings == settings_) rx += radio->second.id_reply;
  }

 private:
  int port_ = 1;
  std::string settings_ = "9600,n,8,1";
  bool open_ = false;
};

class FakeSocket final : public Socket {
 public:
  int port = 0;
  int st = sockstate::closed;
  bool port_in_use = false;  // listen fails with 10048
  std::string inbox;
  std::vector<std::string> sent;
  std::vector<RequestId> accepted;

  void set_local_port(int p) override { port = p; }
  int local_port() const override { return port; }
  void listen() override {
    if (st != sockstate::closed) throw Error(40020, "Invalid operation at current state");
    if (port_in_use) throw Error(errc::address_in_use, "Address in use");
    st = sockstate::listening;
  }
  void accept(RequestId r) override {
    accepted.push_back(r);
    st = sockstate::connected;
  }
  int state() const override { return st; }
  std::string get_data() override { return std::exchange(inbox, {}); }
  void send_data(std::string_view d) override { sent.emplace_back(d); }
  void close() override { st = sockstate::closed; }

  // Test side: a peer sends bytes.
  void receive(const std::string& d) {
    inbox += d;
    if (on_data_arrival) on_data_arrival(d.size());
  }
};

class FakeSocketFactory final : public SocketFactory {
 public:
  std::vector<FakeSocket*> created;
  std::unique_ptr<Socket> create() override {
    auto s = std::make_unique<FakeSocket>();
    created.push_back(s.get());
    return s;
  }
};

class FakeServerComponent;
class FakeCodecComponent;

class FakeCapture final : public CaptureDevice {
 public:
  std::vector<std::string> names{"Line In (USB Audio)", "Microphone (HDA)"};
  bool fail_activation = false;
  std::vector<bool> activations;  // every set_active call
  AudioConsumer* consumer = nullptr;

  void attach_consumer(AudioConsumer& c) override { consumer = &c; }
  void set_active(bool a) override {
    activations.push_back(a);
    if (a && fail_activation) throw Error(errc::generic, "cannot open device");
    active_ = a;
  }
  bool active() const override { return active_; }
  void set_device_id(int id) override { id_ = id; }
  int device_id() const override { return id_; }
  void set_pcm_samples_per_sec(int r) override { rate_ = r; }
  int pcm_samples_per_sec() const override { return rate_; }
  std::string device_name(int n) const override {
    if (n < 0 || n >= static_cast<int>(names.size())) throw Error(errc::generic, "no such device");
    return names[static_cast<std::size_t>(n)];
  }

 private:
  bool active_ = false;
  int id_ = -1, rate_ = 44100;
};

// Codec and server follow the capture device they are chained to.
class FakeCodecComponent final : public Codec {
 public:
  const FakeCapture* source = nullptr;
  bool broken = false;
  AudioConsumer* consumer = nullptr;
  void attach_consumer(AudioConsumer& c) override { consumer = &c; }
  bool active() const override { return !broken && source && source->active(); }
};

class FakeServerComponent final : public IpServer {
 public:
  const FakeCapture* source = nullptr;
  int clients = 0;
  int status = 0;
  void set_max_clients(int n) override { max_ = n; }
  int max_clients() const override { return max_; }
  void set_port(const std::string& p) override { port_ = p; }
  std::string port() const override { return port_; }
  void set_proto(int p) override { proto_ = p; }
  int proto() const override { return proto_; }
  void set_active(bool) override {}
  bool active() const override { return source && source->active(); }
  int client_count() const override { return clients; }
  int status_value() const override { return status; }

 private:
  int max_ = 4, proto_ = 0;
  std::string port_;
};

// A whole server on fakes, in virtual time, with its data directory in a fresh temporary folder.
struct FakePlatform {
  std::array<FakeSerialPort, 4> ports;
  FakeSocketFactory sockets;
  std::array<FakeCapture, 4> capture;
  std::array<FakeCodecComponent, 4> codec;
  std::array<FakeServerComponent, 4> server;

  FakePlatform() {
    for (std::size_t k = 0; k < 4; ++k) {
      codec[k].source = &capture[k];
      server[k].source = &capture[k];
    }
  }
  PlatformObjects objects() {
    PlatformObjects p;
    p.sockets = &sockets;
    for (std::size_t k = 0; k < 4; ++k) {
      p.comm1[k] = &ports[k];
      p.capture[k] = &capture[k];
      p.codec[k] = &codec[k];
      p.server[k] = &server[k];
    }
    return p;
  }
};

inline std::filesystem::path fresh_temp_dir(const std::string& tag) {
  static int counter = 0;
  auto dir = std::filesystem::temp_directory_path() /
             ("quillon-test-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "registry");
  return dir;
}

struct TestServer {
  explicit TestServer(const std::string& tag = "srv") : dir(fresh_temp_dir(tag)), server(loop, fakes.objects(), dir) {}
  ~TestServer() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  Frmserver& f() { return server.form; }
  // Acknowledges every pending message box and returns their texts in order.
  std::vector<std::string> acknowledge_all() {
    std::vector<std::string> texts;
    for (int guard = 0; guard < 100 && !f().window.pending_messages().empty(); ++guard) {
      auto box = f().window.pending_messages().front();
      texts.push_back(box.text);
      f().window.acknowledge(box.id);
      loop.run_ready();
    }
    return texts;
  }

  VirtualEventLoop loop;
  FakePlatform fakes;
  std::filesystem::path dir;
  Server server;
};

}  // namespace quillon::test

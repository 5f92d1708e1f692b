#include "netdata/data_ports.hpp"

#include <string>

#include "netdata/channels.hpp"
#include "settings/catalogue.hpp"

namespace quillon::netdata {

DataPorts::DataPorts(Frmserver& form, settings::SettingsStore& settings) : f_(form), settings_(settings) {
  for (const NetChannel& row : kNetChannels) {
    const int k = row.channel;
    SocketArray& arr = winsock(f_, k);
    arr.on_connection_request = [this, k](int index, RequestId request) { connection_request(k, index, request); };
    arr.on_data_arrival = [this, k](int index, std::size_t) { data_arrival(k, index); };
    arr.on_error = [](int, int, const std::string&) {};  // socket failures need no action here
  }
  f_.Timer25.on_tick([this] { show_socket_states(); });
}

int DataPorts::read_port(std::string_view setting) {
  const std::string_view fallback = settings::default_of(setting);
  const int default_port = settings::whole_in_range(fallback, 0, settings::kMaxPort, 0);
  return settings::whole_in_range(settings_.getreg(setting, fallback), settings::kMinPort, settings::kMaxPort, default_port);
}

void DataPorts::init_ip() {
  ErrorScope err;
  err.step([&] {
    if (settings_.getreg("udppacket", settings::default_of("udppacket")) == "True")
      f_.Option1[0].set_value(true);
    else
      f_.Option1[1].set_value(true);
  });
  for (const NetChannel& row : kNetChannels) init_channel(row);
}

// One channel's ports, listener, slots and audio server. Channel 1 always listens and also sets
// the transport of all four audio servers; channels 2 to 4 listen only when switched on.
void DataPorts::init_channel(const NetChannel& row) {
  ErrorScope err;
  const int k = row.channel;
  const auto ci = static_cast<std::size_t>(k - 1);
  SocketArray& arr = winsock(f_, k);
  int data_port = 0, audio_port = 0;
  err.step([&] {
    data_port = read_port(row.data_setting);
    f_.portip1[row.data_field].set_text(std::to_string(data_port));
  });
  err.step([&] {
    audio_port = read_port(row.audio_setting);
    f_.portip1[row.audio_field].set_text(std::to_string(audio_port));
  });
  const bool always_on = row.enable_switch < 0;
  if (!always_on) err.step([&] { arr[0].close(); });
  err.step([&] { arr[0].set_local_port(data_port); });
  err.step([&] {
    if (always_on || f_.Check1[row.enable_switch].value() == 1) arr[0].listen();
  });
  for (int i = 1; i <= f_.clientslots; ++i) err.step([&] { arr.load(i); });
  if (always_on) {
    err.step([&] { need(f_.wavein[ci]).set_active(false); });
    err.step([&] { need(f_.ipserv[ci]).set_port(std::to_string(audio_port)); });
    for (IpServer* s : f_.ipserv) err.step([&] { need(s).set_proto(0); });
    if (f_.Option1[0].value())
      for (IpServer* s : f_.ipserv) err.step([&] { need(s).set_proto(1); });
  } else {
    err.step([&] { need(f_.ipserv[ci]).set_active(false); });
    err.step([&] { need(f_.ipserv[ci]).set_port(std::to_string(audio_port)); });
  }
}

std::optional<int> DataPorts::findfreeindexwinsock(int channel) const {
  const SocketArray& arr = winsock(f_, channel);
  for (int i = 1; i <= f_.clientslots; ++i) {
    if (!arr.exists(i)) continue;  // a slot that was never created cannot take a client
    if (arr[i].state() != sockstate::connected) return i;
  }
  return std::nullopt;
}

void DataPorts::connection_request(int channel, int index, RequestId request) {
  if (index != 0) return;
  const std::optional<int> slot = findfreeindexwinsock(channel);
  if (!slot || *slot < 1 || *slot > f_.clientslots) return;  // left unaccepted: the layer ends it
  Socket& s = winsock(f_, channel)[*slot];
  ErrorScope err;
  err.step([&] { s.close(); });
  err.step([&] { s.set_local_port(0); });
  err.step([&] { s.accept(request); });
}

void DataPorts::data_arrival(int channel, int index) {
  ErrorScope err;
  f_.data_sender[static_cast<std::size_t>(channel - 1)] = index;
  err.step([&] { f_.txtoutput[channel - 1].set_text(winsock(f_, channel)[index].get_data()); });
}

void DataPorts::slot_upkeep() {
  for (const NetChannel& row : kNetChannels) {
    ErrorScope err;
    SocketArray& arr = winsock(f_, row.channel);
    err.step([&] {
      Socket& listener = arr[0];
      if (listener.state() > sockstate::connected) {
        listener.close();
        listener.listen();
      }
    });
    for (int i = 1; i <= f_.clientslots; ++i)
      err.step([&] {
        if (arr[i].state() > sockstate::connected) arr[i].close();
      });
    int& count = f_.numcom[static_cast<std::size_t>(row.channel - 1)];
    count = 0;
    for (int i = 1; i <= f_.clientslots; ++i)
      err.step([&] {
        if (arr[i].state() == sockstate::connected)
          ++count;
        else
          arr[i].close();
      });
  }
}

void DataPorts::show_socket_states() {
  const int n = std::min(f_.clientslots, 4);
  for (const NetChannel& row : kNetChannels) {
    ErrorScope err;
    SocketArray& arr = winsock(f_, row.channel);
    auto& panel = f_.*row.state_panel;
    for (int i = 0; i <= n; ++i) err.step([&] { panel[i].set_text(std::to_string(arr[i].state())); });
  }
}

}  // namespace quillon::netdata

#pragma once
// The main window `frmserver`: every named control of the server with its start value, the
// shared per-channel state, and the platform objects it owns (serial ports, socket arrays,
// audio components). The logic of each subsystem reads and writes it; nothing here has logic.

#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "window/audio_components.hpp"
#include "window/channel_counters.hpp"
#include "window/controls.hpp"
#include "core/errors.hpp"
#include "window/serial_port.hpp"
#include "window/socket.hpp"

namespace quillon {

inline constexpr const char* kWindowCaption = "Varnilo - Quillon 1.300 Beta";
inline constexpr int kChannels = 4;

// A control array as the logic indexes it; a missing element throws like the window would.
template <class T>
class ControlArray {
 public:
  void add(int i, T& c) { items_[i] = &c; }
  T& operator[](int i) const {
    auto it = items_.find(i);
    if (it == items_.end()) throw Error(340, "Control array element " + std::to_string(i) + " doesn't exist");
    return *it->second;
  }
  bool has(int i) const { return items_.count(i) != 0; }
  const std::map<int, T*>& items() const { return items_; }

 private:
  std::map<int, T*> items_;
};

// The data-port socket array of a channel: element 0 listens, 1..clientslots are created at
// start-up and never removed.
class SocketArray {
 public:
  SocketArray(std::string name, SocketFactory& factory);
  const std::string& name() const { return name_; }
  // Creates element i (closed, no port); an existing element is left as it is.
  void load(int i);
  bool exists(int i) const { return i >= 0 && i < static_cast<int>(elements_.size()) && elements_[static_cast<std::size_t>(i)]; }
  // Throws when the element does not exist.
  Socket& operator[](int i) const;
  int upper_bound() const { return static_cast<int>(elements_.size()) - 1; }
  // Raised with the element index, as the window delivers socket events.
  std::function<void(int index, RequestId)> on_connection_request;
  std::function<void(int index, std::size_t bytes)> on_data_arrival;
  std::function<void(int index, int number, const std::string& description)> on_error;

 private:
  std::string name_;
  SocketFactory& factory_;
  std::vector<std::unique_ptr<Socket>> elements_;
};

// Everything the window owns that talks to the outside world.
struct PlatformObjects {
  std::array<SerialPort*, kChannels> comm1{};
  SocketFactory* sockets = nullptr;
  std::array<CaptureDevice*, kChannels> capture{};
  std::array<Codec*, kChannels> codec{};
  std::array<IpServer*, kChannels> server{};
};

class Frmserver {
 public:
  Frmserver(EventLoop& loop, const PlatformObjects& platform);
  Frmserver(const Frmserver&) = delete;
  Frmserver& operator=(const Frmserver&) = delete;

  ui::Window window;
  EventLoop& loop() { return window.loop(); }

  // --- Menu, title, tabs
  ui::CommandButton& mnufile;
  ui::CommandButton& mnu_exit;
  ui::CommandButton& mnu_about;
  ui::Label& Label2;
  ui::TabControl& SSTab1;
  ui::TabControl& SSTab2;
  ui::TabControl& SSTab3;

  // --- Frames
  ControlArray<ui::Frame> Frame1, Frame5, Frame6;
  ui::Frame &Frame3, &Frame4, &Frame7, &Frame8, &Frame9, &Frame10, &Frame11, &Frame12, &Frame13, &Frame14;

  // --- Channel pages
  ui::ComboBox &Combo1, &Combo2, &Combo4, &Combo5, &Combo6, &Combo7, &Combo8, &Combo9;
  ControlArray<ui::ComboBox> Combo10, Combo13;
  ui::CommandButton &Command1, &Command2, &Command3, &Command4, &Command5, &Command6, &Command7, &Command8;
  ui::CommandButton &Command9, &Command11;
  ControlArray<ui::CommandButton> Command12, Command13;
  ControlArray<ui::CheckBox> Check1;
  ControlArray<ui::OptionButton> Option1;
  ControlArray<ui::TextBox> text5, portip1, Text11;
  ControlArray<ui::Label> Label3, Label4;

  // --- Network talk / delayed data
  ControlArray<ui::TextBox> txtoutput, Text1, Text6, Text8;

  // --- Status page
  ControlArray<ui::Lamp> comdata, comstat1, shape2, AUDIOlink, AUDIOSTAT;
  ControlArray<ui::Label> Label5, Label22, Label14;
  // Why a channel's data or audio port cannot listen (empty while both do), beside their lamps.
  ControlArray<ui::Label> lblPortFault;
  ui::Label& Label13;
  ControlArray<ui::TextBox> Text24, Text15, Text19, Text25, Text17, Text9;
  ui::TextBox &Text7, &Text10;
  ui::ListBox& List1;
  ui::CommandButton& cmdclr;

  // --- Audio page: each channel's Icecast output, as a text
  ControlArray<ui::Label> lblIcecast;
  // --- Audio page: each channel's call recording, as a text
  ControlArray<ui::Label> lblCalls;
  // What the sound library last complained of on standard error while it keeps complaining.
  ui::Label& lblSoundLibrary;

  // --- About box (opened by mnu_about, closed by its "Ok")
  ui::Frame& frmabout;
  ui::Label &lblProduct, &lblVersion;
  ui::CommandButton& cmdOk;

  // --- Timers (periods and start states as the window creates them)
  ControlArray<ui::Timer> Timer1, Timer7, Timer30;
  ui::Timer &Timer2, &Timer3, &Timer4, &Timer5, &Timer6, &Timer8, &Timer9, &Timer12, &Timer13, &Timer14,
      &Timer15, &Timer16, &Timer17, &Timer18, &Timer19, &Timer20, &Timer21, &Timer22, &Timer23, &Timer25,
      &Timer28, &Timer31;

  // --- Platform objects
  std::array<SerialPort*, kChannels> comm1;
  std::array<std::unique_ptr<SocketArray>, kChannels> winsock;  // Winsock1..Winsock4
  SocketArray &Winsock1, &Winsock2, &Winsock3, &Winsock4;
  // Audio components: serverInDeviceX/wavein2..4, serverCodecX1/wavec2..4, serverIpServerX/ipserv2..4.
  std::array<CaptureDevice*, kChannels> wavein;
  std::array<Codec*, kChannels> wavec;
  std::array<IpServer*, kChannels> ipserv;

  // --- Shared state
  int clientslots = 0;
  std::array<std::string, kChannels> scanbuf{};   // scanbuf1..scanbuf4
  std::array<int, kChannels> pollstep{};          // pollstep1..pollstep4
  std::array<int, kChannels> pollbusy{};          // pollbusy1..pollbusy4
  std::array<int, kChannels> numcom{};            // numcom1..numcom4
  std::array<long, kChannels> framecount{};
  std::array<int, kChannels> data_sender{};       // the client slot whose data arrived last (for the command log)
  std::array<bool, kChannels> relaying_mqtt{};    // Text1 is being set by the MQTT bridge
  std::array<std::string, kChannels> statusframe{};
  std::array<ChannelCounters, kChannels> counters{};
  std::string audiostatus, codecstatus, ipstatus;

 private:
  void lay_out();
};

}  // namespace quillon

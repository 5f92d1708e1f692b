#include "app/frmserver.hpp"

namespace quillon {

using namespace ui;

SocketArray::SocketArray(std::string name, SocketFactory& factory) : name_(std::move(name)), factory_(factory) {
  load(0);
}

void SocketArray::load(int i) {
  if (i < 0) throw Error(340, "Control array element " + std::to_string(i) + " doesn't exist");
  if (exists(i)) return;
  if (static_cast<int>(elements_.size()) <= i) elements_.resize(static_cast<std::size_t>(i) + 1);
  auto s = factory_.create();
  s->on_connection_request = [this, i](RequestId r) {
    if (on_connection_request) on_connection_request(i, r);
  };
  s->on_data_arrival = [this, i](std::size_t n) {
    if (on_data_arrival) on_data_arrival(i, n);
  };
  s->on_error = [this, i](int number, const std::string& d) {
    if (on_error) on_error(i, number, d);
  };
  elements_[static_cast<std::size_t>(i)] = std::move(s);
}

Socket& SocketArray::operator[](int i) const {
  if (!exists(i)) throw Error(340, "Control array element " + std::to_string(i) + " doesn't exist");
  return *elements_[static_cast<std::size_t>(i)];
}

namespace {

template <class T>
T& mk(Window& w, const char* name, int index = -1) {
  return w.make<T>(name, index);
}
Timer& timer(Window& w, const char* name, int interval, bool running, int index = -1) {
  return w.make<Timer>(name, index, interval, running);
}
CommandButton& menu(Window& w, const char* name, const char* caption) {
  auto& m = w.make<CommandButton>(name, -1, Kind::Menu);
  m.set_caption(caption);
  return m;
}
Frame& frame(Window& w, const char* name, const char* caption, int index = -1) {
  auto& f = w.make<Frame>(name, index);
  f.set_caption(caption);
  return f;
}
CommandButton& button(Window& w, const char* name, const char* caption, int index = -1) {
  auto& b = w.make<CommandButton>(name, index);
  b.set_caption(caption);
  return b;
}

template <class T>
void fill(Window& w, ControlArray<T>& arr, const char* name, int from, int to, const char* container = "") {
  for (int i = from; i <= to; ++i) {
    T& c = w.make<T>(name, i);
    c.set_container(container);
    arr.add(i, c);
  }
}

// Captions of the nine display fields of a channel, field 1..9.
constexpr const char* kFieldCaptions[9] = {"Step:", "VFO signaal:", "Squelch:", "Mode:", "Receive mode:",
                                           "Att:",  "Link:",        "Link:",    "n/a:"};

// Index of display field f (1..9) of channel n (1..4) in Label4 and Label3.
int field_index(int channel, int f) {
  switch (channel) {
    case 1: return f - 1;
    case 2: return 18 - f;
    case 3: return 17 + f;
    default: return 26 + f;
  }
}

}  // namespace

Frmserver::Frmserver(EventLoop& loop, const PlatformObjects& p)
    : window(loop, "frmserver"),
      mnufile(menu(window, "mnufile", "File")),
      mnu_exit(menu(window, "mnu_exit", "Exit")),
      mnu_about(menu(window, "mnu_about", "About")),
      Label2(mk<Label>(window, "Label2")),
      SSTab1(window.make<TabControl>("SSTab1", std::vector<std::string>{"Scanner 1", "Scanner 2", "Scanner 3",
                                                                         "Scanner 4", "Status", "Audio"})),
      SSTab2(window.make<TabControl>("SSTab2", std::vector<std::string>{"Tab 0", "Tab 1", "Tab 2", "Tab 3"})),
      SSTab3(window.make<TabControl>("SSTab3",
                                     std::vector<std::string>{"Serial Comms", "Network talk", "Delayed data"})),
      Frame3(frame(window, "Frame3", "FILE TRANSFER:")),
      Frame4(frame(window, "Frame4", "Audio Server:")),
      Frame7(frame(window, "Frame7", "Data van client:")),
      Frame8(frame(window, "Frame8", "Data:")),
      Frame9(frame(window, "Frame9", "ServerStatus:")),
      Frame10(frame(window, "Frame10", "Scanner Text ID: ")),
      Frame11(frame(window, "Frame11", "Comports Status:")),
      Frame12(frame(window, "Frame12", "Data Interval (ms):")),
      Frame13(frame(window, "Frame13", "Settings For AudioStream:")),
      Frame14(frame(window, "Frame14", "Audio Packets Format:")),
      Combo1(mk<ComboBox>(window, "Combo1")),
      Combo2(mk<ComboBox>(window, "Combo2")),
      Combo4(mk<ComboBox>(window, "Combo4")),
      Combo5(mk<ComboBox>(window, "Combo5")),
      Combo6(mk<ComboBox>(window, "Combo6")),
      Combo7(mk<ComboBox>(window, "Combo7")),
      Combo8(mk<ComboBox>(window, "Combo8")),
      Combo9(mk<ComboBox>(window, "Combo9")),
      Command1(button(window, "Command1", "Apply")),
      Command2(button(window, "Command2", "Apply")),
      Command3(button(window, "Command3", "Apply ports")),
      Command4(button(window, "Command4", "Apply")),
      Command5(button(window, "Command5", "Apply")),
      Command6(button(window, "Command6", "Apply")),
      Command7(button(window, "Command7", "Apply")),
      Command8(button(window, "Command8", "Apply")),
      Command9(button(window, "Command9", "reset")),
      Command11(button(window, "Command11", "Scanner Serial Port Autodetect")),
      Label13(mk<Label>(window, "Label13")),
      Text7(mk<TextBox>(window, "Text7")),
      Text10(mk<TextBox>(window, "Text10")),
      List1(mk<ListBox>(window, "List1")),
      cmdclr(button(window, "cmdclr", "clr")),
      Timer2(timer(window, "Timer2", 1000, false)),
      Timer3(timer(window, "Timer3", 1000, false)),
      Timer4(timer(window, "Timer4", 50, false)),
      Timer5(timer(window, "Timer5", 25, false)),
      Timer6(timer(window, "Timer6", 1000, true)),
      Timer8(timer(window, "Timer8", 5000, true)),
      Timer9(timer(window, "Timer9", 1000, false)),
      Timer12(timer(window, "Timer12", 1000, true)),
      Timer13(timer(window, "Timer13", 6000, true)),
      Timer14(timer(window, "Timer14", 15, false)),
      Timer15(timer(window, "Timer15", 30, false)),
      Timer16(timer(window, "Timer16", 30, false)),
      Timer17(timer(window, "Timer17", 15, false)),
      Timer18(timer(window, "Timer18", 6000, true)),
      Timer19(timer(window, "Timer19", 1000, false)),
      Timer20(timer(window, "Timer20", 30, false)),
      Timer21(timer(window, "Timer21", 15, false)),
      Timer22(timer(window, "Timer22", 6000, true)),
      Timer23(timer(window, "Timer23", 1000, false)),
      Timer25(timer(window, "Timer25", 1000, true)),
      Timer28(timer(window, "Timer28", 20000, true)),
      Timer31(timer(window, "Timer31", 1000, false)),
      comm1(p.comm1),
      winsock{std::make_unique<SocketArray>("Winsock1", *p.sockets), std::make_unique<SocketArray>("Winsock2", *p.sockets),
              std::make_unique<SocketArray>("Winsock3", *p.sockets), std::make_unique<SocketArray>("Winsock4", *p.sockets)},
      Winsock1(*winsock[0]),
      Winsock2(*winsock[1]),
      Winsock3(*winsock[2]),
      Winsock4(*winsock[3]),
      wavein(p.capture),
      wavec(p.codec),
      ipserv(p.server) {
  window.set_caption(kWindowCaption);
  Label2.set_caption("ORBIDEX");

  // Channel pages.
  for (int k = 0; k < kChannels; ++k) {
    auto& f5 = frame(window, "Frame5", k == 0 ? "Scanner BC785/BC796 Serial Port Setup:" : "Scanner BC785/BC796:", k);
    Frame5.add(k, f5);
    auto& f6 = frame(window, "Frame6", "Network/Audio Setup:", k);
    Frame6.add(k, f6);
    Frame1.add(k, frame(window, "Frame1", "", k));
    // Pages 2..4 and their switches are disabled until start-up enables them.
    if (k > 0) {
      f5.set_enabled(false);
      f6.set_enabled(false);
    }
  }
  fill(window, text5, "text5", 0, 3);
  fill(window, Text11, "Text11", 0, 0, "Frame10");
  for (int i : {0, 1, 2, 4, 5, 6, 7, 8, 9}) portip1.add(i, mk<TextBox>(window, "portip1", i));
  fill(window, Combo10, "Combo10", 0, 3);
  fill(window, Combo13, "Combo13", 0, 3);
  for (int k = 0; k < kChannels; ++k) {
    Command12.add(k, button(window, "Command12", "Apply", k));
    Command13.add(k, button(window, "Command13", "Setup Recording Volume", k));
  }
  for (int k = 0; k < 3; ++k) {
    auto& c = mk<CheckBox>(window, "Check1", k);
    c.set_caption("Enabled");
    c.set_enabled(false);
    Check1.add(k, c);
  }
  for (int k = 0; k < 4 * 9; ++k) {
    Label3.add(k, mk<Label>(window, "Label3", k));
    Label4.add(k, mk<Label>(window, "Label4", k));
  }
  for (int ch = 1; ch <= kChannels; ++ch) {
    for (int f = 1; f <= 9; ++f) {
      const int i = field_index(ch, f);
      Label3[i].set_caption(kFieldCaptions[f - 1]);
      Label3[i].set_container("Frame1(" + std::to_string(ch - 1) + ")");
      Label4[i].set_container("Frame1(" + std::to_string(ch - 1) + ")");
    }
  }

  fill(window, txtoutput, "txtoutput", 0, 3, "Frame7");
  fill(window, Text1, "Text1", 0, 3, "Frame7");
  fill(window, Text6, "Text6", 0, 3, "Frame8");
  fill(window, Text8, "Text8", 0, 3, "Frame8");

  // Status page.
  fill(window, comdata, "comdata", 0, 7);
  comdata[4].set_tooltip("Green: Communication OK");
  fill(window, comstat1, "comstat1", 0, 3, "Frame11");
  fill(window, Label5, "Label5", 0, 3, "Frame11");
  fill(window, shape2, "shape2", 0, 3, "Frame9");
  fill(window, AUDIOlink, "AUDIOlink", 0, 3, "Frame9");
  fill(window, Label22, "Label22", 0, 3, "Frame9");
  fill(window, Text24, "Text24", 0, 4, "Frame9");
  fill(window, Text15, "Text15", 0, 4, "Frame9");
  fill(window, Text19, "Text19", 0, 4, "Frame9");
  fill(window, Text25, "Text25", 0, 4, "Frame9");
  fill(window, AUDIOSTAT, "AUDIOSTAT", 0, 11, "Frame4");
  fill(window, Text17, "Text17", 0, 3, "Frame4");
  fill(window, Text9, "Text9", 0, 3, "Frame12");
  fill(window, Label14, "Label14", 0, 3);
  for (int k = 0; k < 4; ++k) {
    Label5[k].set_caption("-");
    Label22[k].set_caption("-");
    Label14[k].set_caption("-");
  }
  Text9[0].set_text("1000");
  for (int k = 1; k < 4; ++k) Text9[k].set_text("-");
  for (int k = 0; k < 2; ++k) {
    auto& o = mk<OptionButton>(window, "Option1", k);
    o.set_caption(k == 0 ? "UDP" : "TCP");
    o.set_container("Frame14");
    Option1.add(k, o);
  }
  auto& note = mk<Label>(window, "lblRestartNote");
  note.set_caption("SERVER must be restarted before this setting is APPLIED!");
  note.set_container("Frame14");
  Label13.set_container("Frame14");

  // Timers of the channel arrays.
  for (int k = 0; k < kChannels; ++k) {
    Timer1.add(k, timer(window, "Timer1", 25, true, k));
    Timer7.add(k, timer(window, "Timer7", 25, k == 0, k));
    Timer30.add(k, timer(window, "Timer30", k == 1 ? 2000 : 1000, true, k));
  }
}

}  // namespace quillon

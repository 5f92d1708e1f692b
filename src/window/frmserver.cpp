#include "window/frmserver.hpp"

namespace quillon {

using namespace ui;

SocketArray::SocketArray(std::string name, SocketFactory& factory) : name_(std::move(name)), factory_(factory) {
  load(0);
}

void SocketArray::load(int i) {
  if (i < 0) throw Error(340, "Control array element " + std::to_string(i) + " doesn't exist");
  if (exists(i)) return;
  if (static_cast<int>(elements_.size()) <= i) elements_.resize(static_cast<std::size_t>(i) + 1);
  auto s = factory_.create_element(name_, i);
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

// Where each control sits (tab page "SSTab1:k" or frame), the captions beside fields and the row
// captions of the status panels, and which channel a control belongs to: what a view needs to
// draw the window from the model alone.
void Frmserver::lay_out() {
  auto place = [](Control& c, const std::string& container, int channel = 0, const char* label = nullptr) {
    c.set_container(container);
    if (channel) c.set_channel(channel);
    if (label) c.set_label(label);
  };
  auto page = [](int p) { return "SSTab1:" + std::to_string(p); };
  auto in = [](const char* name, int k) { return std::string(name) + "(" + std::to_string(k) + ")"; };

  place(mnu_exit, "mnufile");
  place(SSTab2, "SSTab3:0");
  place(Frame7, "SSTab3:1");
  place(Frame8, "SSTab3:2");
  place(Text7, "SSTab3:2", 1);   // channel 1's frame as built
  place(Text10, "SSTab3:2", 1);  // and as last sent

  // Channel pages: per channel k the controls of its row in the window's tables.
  ComboBox* port_list[] = {&Combo1, &Combo5, &Combo6, &Combo8};
  ComboBox* speed_list[] = {&Combo2, &Combo4, &Combo7, &Combo9};
  CommandButton* serial_apply[] = {&Command2, &Command1, &Command4, &Command5};
  CommandButton* ports_apply[] = {&Command3, &Command6, &Command7, &Command8};
  constexpr int data_field[] = {0, 4, 6, 8};
  constexpr int audio_field[] = {2, 5, 7, 9};
  for (int k = 0; k < kChannels; ++k) {
    const int ch = k + 1;
    const std::string serial = in("Frame5", k), net = in("Frame6", k);
    place(Frame5[k], page(k), ch);
    place(Frame6[k], page(k), ch);
    place(*port_list[k], serial, ch);
    place(*speed_list[k], serial, ch);
    place(*serial_apply[k], serial, ch);
    place(text5[k], page(k), ch, "LCD data:");
    place(comdata[4 + k], page(k), ch);
    if (k > 0) place(Check1[k - 1], page(k), ch);
    place(portip1[data_field[k]], net, ch, "Dataport:");
    place(portip1[audio_field[k]], net, ch, "Audioport:");
    place(*ports_apply[k], net, ch);
    place(Combo10[k], net, ch, "Default SampleRate:");
    place(Combo13[k], net, ch, "Audio Device #:");
    place(Command12[k], net, ch);
    place(Command13[k], net, ch);
    place(Frame1[k], "SSTab2:" + std::to_string(k), ch);
    for (int f = 1; f <= 9; ++f) {
      const int i = field_index(ch, f);
      Label3[i].set_channel(ch);
      place(Label4[i], in("Frame1", k), ch, kFieldCaptions[f - 1]);
    }
    for (auto* arr : {&txtoutput, &Text1, &Text6, &Text8}) (*arr)[k].set_channel(ch);
  }
  place(portip1[1], page(0), 1);
  place(Frame10, page(0));
  Text11[0].set_label("Text ID:");

  // Status page: panels with a column per channel, headed "1" to "4", and a caption per row.
  const int status = 4;
  for (Frame* f : {&Frame11, &Frame9, &Frame4, &Frame12, &Frame14}) place(*f, page(status));
  place(Command11, page(status));
  place(List1, page(status));
  place(cmdclr, page(status));
  int heading = 0;
  for (const char* panel : {"Frame11", "Frame9", "Frame4", "Frame12"}) {
    for (int k = 0; k < kChannels; ++k) {
      auto& h = mk<Label>(window, "lblColumn", heading++);
      h.set_caption(std::to_string(k + 1));
      place(h, panel, k + 1);
    }
  }
  for (int k = 0; k < kChannels; ++k) {
    const int ch = k + 1;
    place(comdata[k], "Frame11", ch, "ComData:");
    place(comstat1[k], "Frame11", ch, "Comopen:");
    place(Label5[k], "Frame11", ch);
    place(shape2[k], "Frame9", ch, "Dataport:");
    place(AUDIOlink[k], "Frame9", ch, "AudioLink:");
    place(Label22[k], "Frame9", ch);
    place(lblPortFault[k], "Frame9", ch, "Port fault:");
    place(AUDIOSTAT[k], "Frame4", ch, "AudioDev:");
    place(AUDIOSTAT[4 + k], "Frame4", ch, "Codec:");
    place(AUDIOSTAT[8 + k], "Frame4", ch, "IPserver:");
    place(Text17[k], "Frame4", ch, "Active Connections/ Max. connections:");
    place(Text9[k], "Frame12", ch);
    place(Label14[k], page(status), ch);
  }
  // The socket states of channel k's listener and first four slots form column k.
  for (auto [arr, ch] : {std::pair{&Text24, 1}, std::pair{&Text15, 2}, std::pair{&Text19, 3}, std::pair{&Text25, 4}})
    for (auto& [i, t] : arr->items()) t->set_channel(ch);

  // Audio page: the reset action and the twelve audio components of the four chains.
  place(Frame13, page(5));
  place(Command9, "Frame13");
  static constexpr const char* kComponents[kChannels][3] = {{"serverInDeviceX", "serverCodecX1", "serverIpServerX"},
                                                            {"wavein2", "wavec2", "ipserv2"},
                                                            {"wavein3", "wavec3", "ipserv3"},
                                                            {"wavein4", "wavec4", "ipserv4"}};
  static constexpr const char* kClasses[3] = {"vcproWaveInDeviceX", "vcproWaveCodecDeviceX", "vcproIpServerX"};
  for (int k = 0; k < kChannels; ++k)
    for (int c = 0; c < 3; ++c) {
      auto& comp = mk<Component>(window, kComponents[k][c]);
      comp.set_caption(kClasses[c]);
      place(comp, "Frame13", k + 1);
    }

  // The about box: hidden until the menu opens it.
  lblProduct.set_caption("Quillon");
  lblVersion.set_caption("1.300 BETA");
  frmabout.set_visible(false);
  for (Control* c : std::initializer_list<Control*>{&lblProduct, &lblVersion, &cmdOk}) c->set_container("frmabout");
}

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
      lblSoundLibrary(mk<Label>(window, "lblSoundLibrary")),
      frmabout(frame(window, "frmabout", "About")),
      lblProduct(mk<Label>(window, "lblProduct")),
      lblVersion(mk<Label>(window, "lblVersion")),
      cmdOk(button(window, "cmdOk", "Ok")),
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
  fill(window, lblPortFault, "lblPortFault", 0, 3, "Frame9");
  fill(window, Text24, "Text24", 0, 4, "Frame9");
  fill(window, Text15, "Text15", 0, 4, "Frame9");
  fill(window, Text19, "Text19", 0, 4, "Frame9");
  fill(window, Text25, "Text25", 0, 4, "Frame9");
  fill(window, AUDIOSTAT, "AUDIOSTAT", 0, 11, "Frame4");
  fill(window, Text17, "Text17", 0, 3, "Frame4");
  fill(window, Text9, "Text9", 0, 3, "Frame12");
  fill(window, Label14, "Label14", 0, 3);
  // The Icecast output of each channel (the configuration file sets it up; read-only here).
  fill(window, lblIcecast, "lblIcecast", 0, 3, "SSTab1:5");
  // Each channel's call recording (the configuration file turns it on; read-only here).
  fill(window, lblCalls, "lblCalls", 0, 3, "SSTab1:5");
  for (int k = 0; k < 4; ++k) {
    Label5[k].set_caption("-");
    Label22[k].set_caption("-");
    Label14[k].set_caption("-");
    lblIcecast[k].set_caption("not configured");
    lblIcecast[k].set_channel(k + 1);
    lblIcecast[k].set_label("Icecast:");
    lblCalls[k].set_caption("off");
    lblCalls[k].set_channel(k + 1);
    lblCalls[k].set_label("Calls:");
  }
  lblSoundLibrary.set_container("Frame13");
  lblSoundLibrary.set_label("Sound library:");
  lblSoundLibrary.set_caption("quiet");
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

  lay_out();

  // Timers of the channel arrays.
  for (int k = 0; k < kChannels; ++k) {
    Timer1.add(k, timer(window, "Timer1", 25, true, k));
    Timer7.add(k, timer(window, "Timer7", 25, k == 0, k));
    Timer30.add(k, timer(window, "Timer30", k == 1 ? 2000 : 1000, true, k));
  }
}

}  // namespace quillon

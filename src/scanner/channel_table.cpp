#include "scanner/channel_table.hpp"

namespace quillon::scanner {

const Rotation& full_rotation() {
  static const Rotation r = {{0, 1, "LCD"}, {1, 2, "ST"}, {2, 10, "SQ"}, {10, 3, "SG"}, {3, 5, "MD"},
                             {5, 6, "RM"},  {6, 7, "AT"}, {7, 8, "CS"},  {8, 9, "DL"},  {9, 1, "LCD"}};
  return r;
}

const Rotation& short_rotation() {
  static const Rotation r = {{0, 1, "LCD"}, {1, 2, "ST"}, {2, 10, "SQ"}, {10, 3, "SG"},
                             {3, 5, "MD"},  {5, 6, "RM"}, {6, 7, "AT"},  {7, 1, "LCD"}};
  return r;
}

const RotationStep* next_step(const Rotation& r, int current) {
  for (const auto& s : r)
    if (s.current == current) return &s;
  return nullptr;
}

int field_index(int channel, int field) {
  // Channel 2's fields run backwards from Label4(17); the others run forwards.
  struct Rule {
    int base, direction;
  };
  static constexpr Rule rules[4] = {{-1, 1}, {18, -1}, {17, 1}, {26, 1}};
  const Rule& r = rules[channel - 1];
  return r.base + r.direction * field;
}

std::string silence_message(int channel) {
  return "LCD1  SCANNER" + std::to_string(channel) + " NO" + std::string(8, ' ') + "LCD2  SERIAL" +
         std::string(11, ' ') + "LCD3  COMMUNICATION!" + std::string(4, ' ');
}

std::vector<ChannelWiring> build_channel_table(Frmserver& f) {
  struct Row {
    ui::ComboBox* port_list;
    ui::ComboBox* speed_list;
    ui::CommandButton* apply;
    ui::Timer *poller, *parser, *watchdog, *busy_release;
    std::vector<ui::Timer*> stopcom;
    const char* ngx;
    const char *port_setting, *speed_setting, *switch_setting;
  };
  const Row rows[kChannels] = {
      {&f.Combo1, &f.Combo2, &f.Command2, &f.Timer4, &f.Timer5, &f.Timer2, &f.Timer8,
       {&f.Timer8, &f.Timer5, &f.Timer4}, "NGX=", "comport", "baudrate", nullptr},
      {&f.Combo5, &f.Combo4, &f.Command1, &f.Timer15, &f.Timer14, &f.Timer3, &f.Timer13,
       {&f.Timer14, &f.Timer15, &f.Timer3}, "NGX=", "comport2", "baudrate2", "channel2ena"},
      {&f.Combo6, &f.Combo7, &f.Command4, &f.Timer16, &f.Timer17, &f.Timer19, &f.Timer18,
       {&f.Timer16, &f.Timer17, &f.Timer19}, "ngx3=", "comport3", "baudrate3", "channel3ena"},
      {&f.Combo8, &f.Combo9, &f.Command5, &f.Timer20, &f.Timer21, &f.Timer23, &f.Timer22,
       {&f.Timer20, &f.Timer21, &f.Timer23}, "ngx4=", "comport4", "baudrate4", "channel4ena"},
  };

  std::vector<ChannelWiring> table;
  for (int n = 1; n <= kChannels; ++n) {
    const Row& r = rows[n - 1];
    ChannelWiring w;
    w.channel = n;
    w.k = static_cast<std::size_t>(n - 1);
    w.port_list = r.port_list;
    w.speed_list = r.speed_list;
    w.enable = n == 1 ? nullptr : &f.Check1[n - 2];
    w.apply = r.apply;
    w.poller = r.poller;
    w.parser = r.parser;
    w.watchdog = r.watchdog;
    w.busy_release = r.busy_release;
    w.stopcom_timers = r.stopcom;
    for (int fld = 1; fld <= 9; ++fld) w.fields[static_cast<std::size_t>(fld - 1)] = &f.Label4[field_index(n, fld)];
    w.status_lines = &f.Text6[n - 1];
    w.lcd = &f.text5[n - 1];
    w.step_label = &f.Label5[n - 1];
    w.lamp_first = &f.comdata[n - 1];
    w.lamp_second = &f.comdata[n + 3];
    w.rotation = n == 2 ? &short_rotation() : &full_rotation();
    w.watchdog_resets_step = n <= 2;
    w.disables_on_port_failure = n == 2;
    w.apply_report = n == 1 ? ApplyReport::ErrorPrefix : ApplyReport::BareCode;
    w.ngx = r.ngx;
    w.silence = silence_message(n);
    w.port_setting = r.port_setting;
    w.speed_setting = r.speed_setting;
    w.switch_setting = r.switch_setting;
    table.push_back(std::move(w));
  }
  return table;
}

}  // namespace quillon::scanner

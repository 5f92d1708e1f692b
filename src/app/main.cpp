// quillon: puts up to four BC785/BC796 scanners on the network.

#include <sys/stat.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fleet/config.hpp"
#include "calls/call_recorder.hpp"
#include "calls/call_json.hpp"
#include "calls/uploader.hpp"
#include "calls/alerts.hpp"
#include "calls/alert_apprise.hpp"
#include "calls/calls_http.hpp"
#include "calls/activity_http.hpp"
#include "calls/call_activity.hpp"
#include "calls/listener_calls.hpp"
#include "app/data_dir.hpp"
#include "fleet/fleet_services.hpp"
#include "fleet/listen_service.hpp"
#include "fleet/listeners.hpp"
#include "fleet/command_log.hpp"
#include "fleet/radio_control.hpp"
#include "fleet/port_faults.hpp"
#include "core/fault_book.hpp"
#include "core/stderr_funnel.hpp"
#include "app/server.hpp"
#include "audio/level_meter.hpp"
#include "audio/alsa_capture.hpp"
#include "core/asio_event_loop.hpp"
#include "netdata/asio_socket.hpp"
#include "audio/audio_ip_server.hpp"
#include "console/console_server.hpp"
#include "scanner/counting_serial_port.hpp"
#include "audio/gsm_codec.hpp"
#include "scanner/linux_serial_port.hpp"
#include "core/log.hpp"
#include "fleet/service_notify.hpp"
#include "scanner/reporting_serial_port.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: quillon [options]\n"
    "  --data-dir DIR   keep settings, exit log and port links in DIR\n"
    "                   (default: $QUILLON_DATA_DIR, /var/lib/quillon for root,\n"
    "                   otherwise $XDG_STATE_HOME/quillon or ~/.local/state/quillon)\n"
    "  --console ADDR:PORT\n"
    "                   serve the operator console at ADDR:PORT (default\n"
    "                   127.0.0.1:8785); --console off serves none\n"
    "  --console-token-file FILE\n"
    "                   every console request must carry the token in FILE\n"
    "                   (\"Authorization: Bearer TOKEN\"); required for an address\n"
    "                   other than loopback; a browser signs in with it once\n"
    "  --console-tls-cert FILE --console-tls-key FILE\n"
    "                   serve the console over TLS (https, wss) with this PEM\n"
    "                   certificate (chain) and key\n"
    "  --config FILE    read the configuration file FILE (default DATA/quillon.toml\n"
    "                   when it exists)\n"
    "  --check-config [FILE]\n"
    "                   check the configuration file and exit\n"
    "  --log-level LEVEL\n"
    "                   least severe diagnostics written: error, warning, info\n"
    "                   (default) or debug\n"
    "  --help           show this text\n"
    "  --version        show the version\n";

struct Options {
  std::optional<std::string> data_dir;
  std::string console = "127.0.0.1:8785";
  std::optional<std::string> console_token_file;
  std::string console_tls_cert, console_tls_key;
  quillon::log::Level log_level = quillon::log::Level::info;
  std::optional<std::filesystem::path> config_file;
  bool check_config = false;
};

void log_line(const std::string& s) { quillon::log::info(s); }
void log_warning(const std::string& s) { quillon::log::warning(s); }

}  // namespace

int main(int argc, char** argv) {
  // A reader of standard error that goes away (log pipe, closed terminal) must not end the
  // server before its shutdown save; writes then fail with EPIPE and are lost.
  std::signal(SIGPIPE, SIG_IGN);
  // Whatever the umask, nothing the server creates is writable by the group or readable by others.
  ::umask(::umask(0) | 027);
  const double start_time = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= argc) {
        std::cerr << "quillon: " << name << " needs a value\n" << kUsage;
        std::exit(2);
      }
      return argv[++i];
    };
    // "--name VALUE" or "--name=VALUE"; nothing when `a` is another option.
    auto takes = [&](const std::string& name) -> std::optional<std::string> {
      if (a == name) return std::string(value(name.c_str()));
      if (a.rfind(name + "=", 0) == 0) return a.substr(name.size() + 1);
      return std::nullopt;
    };
    std::optional<std::string> v;
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--version") {
      std::cout << "quillon 1.300 Beta\n";
      return 0;
    } else if ((v = takes("--data-dir"))) {
      opt.data_dir = *v;
    } else if ((v = takes("--console"))) {
      opt.console = *v;
    } else if ((v = takes("--console-token-file"))) {
      opt.console_token_file = *v;
    } else if ((v = takes("--console-tls-cert"))) {
      opt.console_tls_cert = *v;
    } else if ((v = takes("--console-tls-key"))) {
      opt.console_tls_key = *v;
    } else if ((v = takes("--config"))) {
      opt.config_file = *v;
    } else if (a == "--check-config") {
      opt.check_config = true;
      if (i + 1 < argc && argv[i + 1][0] != '-') opt.config_file = argv[++i];
    } else if ((v = takes("--log-level"))) {
      const auto level = quillon::log::parse_level(*v);
      if (!level) {
        std::cerr << "quillon: --log-level " << *v << ": use error, warning, info or debug\n";
        return 2;
      }
      opt.log_level = *level;
    } else {
      std::cerr << "quillon: unknown option " << a << "\n" << kUsage;
      return 2;
    }
  }

  quillon::log::configure(opt.log_level);
  const auto config_file = quillon::config::choose_file(opt.config_file, quillon::resolve_data_dir(opt.data_dir));
  quillon::config::Config config;
  try {
    if (config_file) config = quillon::config::load(*config_file);
  } catch (const quillon::config::ConfigError& e) {
    quillon::log::error(e.what());
    return 2;
  }
  for (const std::string& w : config.warnings) log_warning(w);
  if (opt.check_config) {
    std::cout << (config_file ? config_file->string() + ": ok" : "no configuration file: nothing to check") << "\n";
    return 0;
  }

  std::optional<quillon::ConsoleConfig> console_cfg;
  try {
    console_cfg = quillon::parse_console_option(opt.console);
    if (console_cfg && opt.console_token_file) console_cfg->token = quillon::read_console_token(*opt.console_token_file);
    if (opt.console_tls_cert.empty() != opt.console_tls_key.empty())
      throw std::invalid_argument("--console-tls-cert and --console-tls-key go together");
    if (console_cfg) {
      console_cfg->tls_cert = opt.console_tls_cert;
      console_cfg->tls_key = opt.console_tls_key;
    }
    if (console_cfg && console_cfg->token.empty() && !quillon::is_loopback(*console_cfg)) {
      std::cerr << "quillon: --console " << opt.console << " is not a loopback address: give --console-token-file\n";
      return 2;
    }
  } catch (const std::exception& e) {
    std::cerr << "quillon: " << e.what() << "\n" << kUsage;
    return 2;
  }

  const auto data_dir = quillon::resolve_data_dir(opt.data_dir);
  // Runs without a writable directory too: said once here, not for every lost line.
  if (const std::string problem = quillon::prepare_data_dir(data_dir); !problem.empty())
    log_warning(problem + "; the exit log loses its lines and settings cannot be stored");
  log_line("starting, data directory " + data_dir.string());

  // A listener that cannot open, or a sound device the library keeps complaining about, is said
  // once when the fault starts and once when it ends; the metrics page counts them.
  quillon::FaultBook faults([](bool fault, const std::string& line) { fault ? log_warning(line) : log_line(line); });
  // In place before anything loads the sound library: building the window already asks it for
  // its device names, and its plugins may complain at every question.
#if defined(__SANITIZE_ADDRESS__)
  // A sanitizer's report is written when the process dies, too late for the funnel's reader:
  // under the sanitizers standard error stays as it is.
  constexpr bool kFunnel = false;
#else
  constexpr bool kFunnel = true;
#endif
  std::optional<quillon::StderrFunnel> funnel;
  if (kFunnel) funnel.emplace(faults, std::chrono::seconds(60));

  // One thread runs the loop: handlers it posts itself then queue without waking the reactor.
  boost::asio::io_context io(1);
  quillon::AsioEventLoop loop(io);

  // Port N of every channel is the device DATA/ports/comN links to.
  std::vector<std::unique_ptr<quillon::LinuxSerialPort>> ports;
  std::vector<std::unique_ptr<quillon::ReportingSerialPort>> reported_ports;
  std::vector<std::unique_ptr<quillon::CountingSerialPort>> counted_ports;
  for (int k = 0; k < 4; ++k) {
    ports.push_back(std::make_unique<quillon::LinuxSerialPort>(data_dir / "ports", loop));
    reported_ports.push_back(std::make_unique<quillon::ReportingSerialPort>(
        *ports.back(), "serial port of channel " + std::to_string(k + 1), log_warning));
    counted_ports.push_back(std::make_unique<quillon::CountingSerialPort>(*reported_ports.back()));
  }
  // Set once the window exists; no listener opens before that.
  std::unique_ptr<quillon::PortFaults> port_faults;
  auto listened = [&port_faults](const std::string& listener, int channel, int port, const std::string& failure) {
    if (port_faults) port_faults->result(listener, channel, port, failure);
  };

  // Data and audio ports listen on all addresses unless QUILLON_BIND_ADDRESS names one.
  quillon::AsioSocketFactory::Options socket_options;
  // The data ports' listeners are element 0 of Winsock1..Winsock4.
  socket_options.on_listen = [&listened](const std::string& array, int port, const std::string& failure) {
    const int channel = array.size() == 8 && array.rfind("Winsock", 0) == 0 ? array[7] - '0' : 0;
    listened("data", channel, port, failure);
  };
  if (const char* bind = std::getenv("QUILLON_BIND_ADDRESS"); bind && *bind) {
    socket_options.bind_address = bind;
    log_line(std::string("data ports listen on ") + bind + " only, audio ports too");
  }
  quillon::AsioSocketFactory sockets(loop, socket_options);
  std::array<quillon::audio::AlsaCapture, 4> capture{quillon::audio::AlsaCapture(loop), quillon::audio::AlsaCapture(loop),
                                                     quillon::audio::AlsaCapture(loop), quillon::audio::AlsaCapture(loop)};
  std::array<quillon::audio::GsmCodec, 4> codec;
  std::array<quillon::audio::AudioIpServer, 4> server{quillon::audio::AudioIpServer(io), quillon::audio::AudioIpServer(io),
                                                      quillon::audio::AudioIpServer(io), quillon::audio::AudioIpServer(io)};
  quillon::PlatformObjects platform;
  platform.sockets = &sockets;
  for (std::size_t k = 0; k < 4; ++k) {
    platform.comm1[k] = counted_ports[k].get();
    platform.capture[k] = &capture[k];
    capture[k].on_notice = [k](const std::string& s) { log_warning("audio input of channel " + std::to_string(k + 1) + ": " + s); };
    platform.codec[k] = &codec[k];
    platform.server[k] = &server[k];
    if (!socket_options.bind_address.empty()) server[k].bind_to = socket_options.bind_address;
    server[k].on_listen = [&listened, k](int port, const std::string& failure) { listened("audio", static_cast<int>(k) + 1, port, failure); };
  }

  quillon::Server srv(loop, platform, data_dir);
  port_faults = std::make_unique<quillon::PortFaults>(&srv.form, faults);
  // The library's complaints come on its own threads: the page hears of them on the loop.
  faults.set_on_change([&loop, &srv](const quillon::FaultBook::Entry& e) {
    if (e.kind != "sound_library") return;
    loop.post([&srv, text = e.text] { srv.form.lblSoundLibrary.set_caption(text.empty() ? "quiet" : text); });
  });
  // The hook goes before the window and the loop it posts to do.
  struct HookRelease {
    quillon::FaultBook& book;
    ~HookRelease() { book.set_on_change(nullptr); }
  } hook_release{faults};
  // What the library said while the window was being built.
  if (const std::string said = faults.text("sound_library", 0); !said.empty()) srv.form.lblSoundLibrary.set_caption(said);
  // An unreadable settings file is met by every reader; say each different thing once.
  srv.registry.set_notice([said = std::set<std::string>()](const std::string& s) mutable {
    if (said.insert(s).second) log_line(s);
  });

  std::unique_ptr<quillon::ConsoleServer> console;
  if (console_cfg) {
    try {
      console = std::make_unique<quillon::ConsoleServer>(loop, srv.form.window, *console_cfg);
      log_line("operator console at " + quillon::console_url(*console_cfg, console->port()));
    } catch (const std::invalid_argument& e) {
      log_line(e.what());  // a certificate or key that cannot be used: a configuration fault
      return 2;
    } catch (const std::exception& e) {
      port_faults->result("console", 0, console_cfg->port, quillon::listen_failure_reason(e.what()));
    }
  }

  quillon::ListenService listen(loop, srv.form, config.listen, {&codec[0], &codec[1], &codec[2], &codec[3]}, console.get(),
                                socket_options.bind_address, port_faults.get());

  // The console's level meters read the codecs' PCM, and only while a page is open.
  std::array<quillon::audio::LevelMeters::Source, 4> level_sources;
  for (std::size_t k = 0; k < 4; ++k)
    level_sources[k] = {[&codec, k](quillon::audio::LevelMeters::PcmTap tap) { return codec[k].add_pcm_tap(std::move(tap)); },
                        [&codec, k](int id) { codec[k].remove_pcm_tap(id); }};
  // The meters run while a console page or a listeners' page is open, and feed both.
  std::unique_ptr<quillon::LiveListeners> live;
  bool console_watching = false, listeners_watching = false;
  quillon::audio::LevelMeters meters(loop, level_sources, [&console, &live](std::string text) {
    if (live) live->levels(text);
    if (console) console->publish(std::move(text));
  });
  if (console)
    console->on_event_streams([&](std::size_t open) {
      console_watching = open > 0;
      meters.watch(console_watching || listeners_watching);
      // A page that just opened learns who listens (it starts from nobody).
      if (open > 0 && live && !live->listeners().empty()) console->publish_state("listeners", live->listeners_json());
    });
  live = std::make_unique<quillon::LiveListeners>(loop, srv.form, config.listen, std::array{&codec[0], &codec[1], &codec[2], &codec[3]},
                                                  console.get(), listen.public_server(), [&](bool on) {
                                                    listeners_watching = on;
                                                    meters.watch(console_watching || listeners_watching);
                                                  });
  if (console) live->on_listeners([&console](std::string text) { console->publish_state("listeners", std::move(text)); });
  // Access codes hold for the public port's HTTP streams as for its live path.
  listen.set_public_gate([l = live.get()](const quillon::ConsoleRequest& req, int channel) { return l->admit_stream(req, channel); });

  // Every call of the recorded channels, from the codecs' PCM and the radios' replies.
  std::unique_ptr<quillon::calls::CallRecorder> recorder;
  std::unique_ptr<quillon::calls::ActivityReader> activity;  // /api/activity's reader
  if (config.calls.enabled) {
    std::array<quillon::calls::PcmSource, 4> pcm;
    for (std::size_t k = 0; k < 4; ++k)
      pcm[k] = {[&codec, k](quillon::calls::PcmSource::Tap tap) { return codec[k].add_pcm_tap(std::move(tap)); },
                [&codec, k](int id) { codec[k].remove_pcm_tap(id); }, [&codec, k] { return codec[k].active(); }};
    try {
      recorder = std::make_unique<quillon::calls::CallRecorder>(loop, config.calls, data_dir / "calls",
                                                                quillon::config::site_name(config), std::move(pcm));
      recorder->on_call = [&console](const std::string& event) {
        // A page that fell behind is told it missed calls, and fetches them.
        if (console) console->publish_state("calls", event, R"({"type":"calls_missed"})");
      };
      recorder->on_state = [&srv](int channel, const std::string& text) {
        srv.form.lblCalls[channel - 1].set_caption(text);
      };
      srv.scanner.on_reply = [r = recorder.get()](int channel, int step, std::string_view reply) { r->on_reply(channel, step, reply); };
      if (console) quillon::calls::serve_calls(*console, recorder->store());
      if (console) activity = quillon::calls::serve_activity(*console, recorder->store(), loop);
      // The listeners' page lists the recent calls of the channels its listener may hear.
      const quillon::calls::ChannelsFor may_hear = [l = live.get()](const quillon::ConsoleRequest& r) { return l->channels_for(r); };
      if (console) quillon::calls::serve_listener_calls(*console, recorder->store(), may_hear);
      if (quillon::ConsoleServer* pub = listen.public_server()) quillon::calls::serve_listener_calls(*pub, recorder->store(), may_hear);
      live->list_calls(true);
      log_line("recording calls in " + (data_dir / "calls").string());
    } catch (const quillon::calls::StoreError& e) {
      log_warning(std::string(e.what()) + "; calls are not recorded");
    }
  }

  // The calls' uploads to call servers, queued in the calls' index.
  std::unique_ptr<quillon::calls::Uploader> uploader;
  if (recorder && !config.calls.uploads.empty()) {
    try {
      quillon::calls::UploaderOptions options;
      options.keep_days = config.calls.keep_days;
      options.make_client = [&loop] { return quillon::calls::make_http_client(loop); };
      options.partner_pending = [r = recorder.get()](const quillon::calls::CallRecord& c) { return r->partner_pending(c); };
      uploader = std::make_unique<quillon::calls::Uploader>(loop, recorder->store(), config.calls.uploads, std::move(options));
    } catch (const quillon::calls::StoreError& e) {
      log_warning(std::string(e.what()) + "; calls are not uploaded");
    }
  }
  // Answered whenever calls are recorded (the Calls page asks while shown): no call servers, empty lists.
  if (console && recorder)
    console->add_get_route("/api/calls/uploads", [u = uploader.get()] {
      const nlohmann::json status = u ? u->status_json() : nlohmann::json{{"destinations", nlohmann::json::array()}, {"calls", nlohmann::json::array()}};
      return quillon::ConsoleResponse{200, "application/json", status.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
    });

  // Alerts: paging tones on the channels' PCM and rules on the stored calls, queued in the
  // calls' index (opened for them alone when calls are not recorded).
  std::unique_ptr<quillon::calls::CallStore> alert_store;
  std::unique_ptr<quillon::calls::Alerts> alerts;
  quillon::FleetServices* fleet_ptr = nullptr;
  if (config.alerts.any()) {
    try {
      quillon::calls::CallStore* store = recorder ? &recorder->store() : nullptr;
      if (!store) {
        alert_store = std::make_unique<quillon::calls::CallStore>(data_dir / "calls");
        store = alert_store.get();
      }
      std::array<quillon::calls::PcmSource, 4> pcm;
      for (std::size_t k = 0; k < 4; ++k)
        pcm[k] = {[&codec, k](quillon::calls::PcmSource::Tap tap) { return codec[k].add_pcm_tap(std::move(tap)); },
                  [&codec, k](int id) { codec[k].remove_pcm_tap(id); }, [&codec, k] { return codec[k].active(); }};
      quillon::calls::AlertsOptions options;
      options.make_client = [&loop](const quillon::config::AlertSend& d) {
        return d.type == "apprise" ? quillon::calls::make_apprise_client(loop) : quillon::calls::make_http_client(loop);
      };
      options.publish_mqtt = [&fleet_ptr](int channel, const std::string& json) { return fleet_ptr && fleet_ptr->publish_alert(channel, json); };
      options.on_alert = [&console](const std::string& event) {
        if (console) console->publish(event);
      };
      for (const auto& d : config.alerts.sends)
        if (d.type == "apprise" && !quillon::calls::program_available("apprise"))
          log_warning("alerts to " + d.name + " wait: the apprise command is not installed (Debian package apprise)");
      alerts = std::make_unique<quillon::calls::Alerts>(loop, *store, config.alerts, std::move(pcm), std::move(options));
      log_line("alerts: " + std::to_string(config.alerts.tones.size()) + " tone sets, " + std::to_string(config.alerts.rules.size()) +
               " rules, " + std::to_string(config.alerts.sends.size()) + " destinations");
    } catch (const quillon::calls::StoreError& e) {
      log_warning(std::string(e.what()) + "; alerts are not raised");
    }
  }
  // Answered whether or not alerts are configured (the Calls page and the listeners' page ask
  // while shown): without alerts, empty lists.
  const auto alerts_json = [a = alerts.get()](const std::array<bool, 4>& channels, int limit) {
    return a ? a->status_json(channels, limit) : nlohmann::json{{"destinations", nlohmann::json::array()}, {"alerts", nlohmann::json::array()}};
  };
  if (console) {
    console->add_get_route("/api/alerts", [alerts_json] {
      return quillon::ConsoleResponse{200, "application/json",
                                      alerts_json({true, true, true, true}, 50).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
    });
    console->add_deferred_route("/api/alerts/test", [a = alerts.get()](const quillon::ConsoleRequest& req, quillon::ConsoleServer::Respond respond) {
      auto answer = [respond](int status, const nlohmann::json& j) {
        respond(quillon::ConsoleResponse{status, "application/json", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)});
      };
      if (!req.operator_ok) return answer(401, {{"error", "sign in first"}});
      if (req.method != "POST") return answer(405, {{"error", "use POST"}});
      std::string name;
      if (req.query.rfind("destination=", 0) == 0) name = req.query.substr(12, req.query.find('&') - 12);
      if (!a || !a->has_destination(name)) return answer(404, {{"error", "no such destination"}});
      a->test(name, [answer](bool ok, const std::string& text) { answer(200, {{"ok", ok}, {"answer", text}}); });
    });
  }
  // The listeners' page shows the alerts of the channels its listener may hear.
  {
    auto serve = [alerts_json, l = live.get()](quillon::ConsoleServer& on) {
      on.add_open_route("/live/alerts", [alerts_json, l](const quillon::ConsoleRequest& req) {
        auto answer = [](int status, const nlohmann::json& j) {
          return quillon::ConsoleResponse{status, "application/json", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
        };
        if (req.method != "GET" && req.method != "HEAD") return answer(405, {{"error", "use GET"}});
        const auto channels = l->channels_for(req);
        if (!channels) return answer(401, {{"error", "enter an access code first"}});
        const nlohmann::json status = alerts_json(*channels, 20);
        nlohmann::json list = nlohmann::json::array();
        for (auto j : status["alerts"]) {
          j.erase("deliveries");  // where alerts go is the operator's business
          list.push_back(std::move(j));
        }
        return answer(200, {{"alerts", list}});
      });
    };
    if (console) serve(*console);
    if (quillon::ConsoleServer* pub = listen.public_server()) serve(*pub);
  }

  // Operating the radios from the page; every command that reaches a radio goes to the log,
  // written on the log's own thread.
  quillon::CommandLog command_log(data_dir / "commands.db", {config.control.keep_days, config.control.keep_mb});
  quillon::RadioControl radio_control(loop, srv.form, srv.scanner, config.control, config.listen, &command_log);
  if (console) {
    radio_control.serve(*console, live.get());
    radio_control.on_display_answered = [&console] { console->flush_changes(); };
  }
  if (quillon::ConsoleServer* pub = listen.public_server()) radio_control.serve_public(*pub, live.get());

  quillon::ServiceNotifier notifier(loop);
  quillon::MetricSources metric_sources;
  metric_sources.start_time_seconds = start_time;
  metric_sources.listen = &listen;
  metric_sources.live = live.get();
  if (recorder)
    metric_sources.calls = [r = recorder.get(), u = uploader.get()]() -> std::optional<quillon::metrics::CallsFigures> {
      auto f = r->figures();
      if (u) f.uploads = u->figures();
      return f;
    };
  if (alerts) metric_sources.alerts = [a = alerts.get()] { return std::optional(a->figures()); };
  metric_sources.commands = [&radio_control] { return std::optional(radio_control.figures()); };
  metric_sources.faults = &faults;
  for (std::size_t k = 0; k < 4; ++k) {
    metric_sources.serial[k] = counted_ports[k].get();
    metric_sources.ports[k] = ports[k].get();
    metric_sources.capture[k] = &capture[k];
  }
  // The Icecast sources share the listening encoders of the HTTP listeners.
  quillon::FleetServices fleet(loop, srv.form, config, metric_sources, console.get(), &listen.streams());
  fleet_ptr = &fleet;

  if (recorder)
    recorder->on_stored = [&fleet, u = uploader.get(), a = alerts.get()](const quillon::calls::CallRecord& r) {
      if (u) u->stored(r);
      if (a) a->stored(r);
      fleet.publish_call(r.channel, quillon::calls::call_json(r).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    };

  srv.shell.on_closed = [&] {
    notifier.stopping();
    fleet.stop();
    if (recorder) recorder->stop();
    if (uploader) uploader->stop();
    if (alerts) alerts->stop();
    fleet_ptr = nullptr;
    listen.stop();
    log_line("stopped");
    // The window is gone: none of its timers or waits run again, while the console tells its
    // pages so (at most a second) before the process ends.
    loop.close();
    if (console)
      console->shutdown([&] { io.stop(); });
    else
      io.stop();
  };

  boost::asio::signal_set signals(io, SIGTERM, SIGINT, SIGHUP);
  std::function<void()> wait_signal = [&] {
    signals.async_wait([&](const boost::system::error_code& ec, int sig) {
      if (ec) return;
      log_line(std::string("close requested by signal ") + ::strsignal(sig));
      notifier.stopping();
      srv.shell.close_window();
      wait_signal();  // a second signal during shutdown changes nothing
    });
  };
  wait_signal();

  loop.post([&] {
    srv.start();
    fleet.start();
    if (recorder) recorder->start();
    if (uploader) uploader->start();
    if (alerts) alerts->start();
    notifier.ready();
  });
  io.run();
  if (!srv.shell.save_error.empty()) {
    quillon::log::error("settings not saved: " + srv.shell.save_error);
    return 1;
  }
  return 0;
}

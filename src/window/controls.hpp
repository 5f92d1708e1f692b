#pragma once
// The window model: named controls (name plus optional array index) with the properties the
// logic reads and writes. Every change is announced to the window's observers (the web console),
// so the logic never knows about views. Change and click handlers run inside the step that
// changes the value; setting a value to what it already is runs nothing.

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.hpp"
#include "core/task.hpp"

namespace quillon::ui {

inline constexpr int kGreen = 65280;  // 0x00FF00 in blue-green-red order
inline constexpr int kRed = 255;      // 0x0000FF

enum class Kind { Menu, Label, TextBox, Lamp, ComboBox, ListBox, CheckBox, OptionButton, CommandButton, Frame, TabControl, Timer, Component };
const char* kind_name(Kind k);

class Window;

struct Geometry {
  int left = 0, top = 0, width = 0, height = 0;
  bool operator==(const Geometry&) const = default;
};

class Control {
 public:
  Control(Window& w, Kind kind, std::string name, int index);
  virtual ~Control() = default;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  Kind kind() const { return kind_; }
  const std::string& name() const { return name_; }
  int index() const { return index_; }  // -1 when the control is not part of an array
  std::string id() const;               // "Label4(3)" or "Text7"

  bool enabled() const { return enabled_; }
  void set_enabled(bool e);
  const std::string& caption() const { return caption_; }
  void set_caption(std::string c);
  const std::string& tooltip() const { return tooltip_; }
  void set_tooltip(std::string t) { tooltip_ = std::move(t); }
  const Geometry& geometry() const { return geometry_; }
  void set_geometry(const Geometry& g);
  // Parent frame ("Frame5(1)") or tab page ("SSTab1:4", page 4 of SSTab1), for the view's layout
  // only; empty at the top of the window.
  const std::string& container() const { return container_; }
  void set_container(std::string c) { container_ = std::move(c); }
  // The fixed caption shown beside the control ("LCD data:") or heading its row in a status
  // panel ("ComData:"); view only.
  const std::string& label() const { return label_; }
  void set_label(std::string l) { label_ = std::move(l); }
  // The channel (1..4) the control belongs to, 0 for none; view only.
  int channel() const { return channel_; }
  void set_channel(int c) { channel_ = c; }
  // Whether the view shows it (the about box is hidden until the menu opens it).
  bool visible() const { return visible_; }
  void set_visible(bool v);

 protected:
  void notify(std::string_view property);
  Window& window_;

 private:
  Kind kind_;
  std::string name_;
  int index_;
  bool enabled_ = true;
  std::string caption_;
  std::string tooltip_;
  std::string container_;
  std::string label_;
  int channel_ = 0;
  bool visible_ = true;
  Geometry geometry_;
};

class Label : public Control {
 public:
  Label(Window& w, std::string name, int index = -1) : Control(w, Kind::Label, std::move(name), index) {}
};

class TextBox : public Control {
 public:
  TextBox(Window& w, std::string name, int index = -1) : Control(w, Kind::TextBox, std::move(name), index) {}
  const std::string& text() const { return text_; }
  // Runs the change handler when the text really changes.
  void set_text(std::string t);
  std::function<void()> on_change;

 private:
  std::string text_;
};

class Lamp : public Control {
 public:
  Lamp(Window& w, std::string name, int index = -1) : Control(w, Kind::Lamp, std::move(name), index) {}
  // No colour until a writer first sets one (the window's default background).
  std::optional<int> fill_color() const { return color_; }
  void set_fill_color(int c);

 private:
  std::optional<int> color_;
};

class ComboBox : public Control {
 public:
  ComboBox(Window& w, std::string name, int index = -1) : Control(w, Kind::ComboBox, std::move(name), index) {}
  const std::vector<std::string>& items() const { return items_; }
  void add_item(std::string item);
  void clear();
  int list_count() const { return static_cast<int>(items_.size()); }
  int list_index() const { return index_sel_; }
  // -1 clears the selection; any other position the list does not have throws Error(380).
  void set_list_index(int i);
  // Text of the selected entry, empty without a selection.
  std::string text() const;
  std::function<void()> on_click;

 private:
  std::vector<std::string> items_;
  int index_sel_ = -1;
};

class ListBox : public Control {
 public:
  static constexpr std::size_t kMaxItems = 1000;  // the oldest lines go first
  ListBox(Window& w, std::string name, int index = -1) : Control(w, Kind::ListBox, std::move(name), index) {}
  const std::deque<std::string>& items() const { return items_; }
  void add_item(std::string item);
  void clear();

 private:
  std::deque<std::string> items_;
};

class CheckBox : public Control {
 public:
  CheckBox(Window& w, std::string name, int index = -1) : Control(w, Kind::CheckBox, std::move(name), index) {}
  int value() const { return value_; }  // 0 off, 1 on, 2 undetermined
  // Runs the click handler at once when the value changes.
  void set_value(int v);
  std::function<void()> on_click;

 private:
  int value_ = 0;
};

class OptionButton : public Control {
 public:
  OptionButton(Window& w, std::string name, int index = -1) : Control(w, Kind::OptionButton, std::move(name), index) {}
  bool value() const { return value_; }
  // Selecting one option of an array clears the others of the same name.
  void set_value(bool v);
  std::function<void()> on_click;

 private:
  friend class Window;
  bool value_ = false;
};

// Command buttons and menu entries: an operator click runs the handler as one event; a handler
// that waits (message boxes, wait_seconds) is a coroutine.
class CommandButton : public Control {
 public:
  CommandButton(Window& w, std::string name, int index = -1, Kind kind = Kind::CommandButton)
      : Control(w, kind, std::move(name), index) {}
  std::function<Task()> on_click;
  // Runs the handler inside the caller, which awaits it.
  Task click();
};

class Frame : public Control {
 public:
  Frame(Window& w, std::string name, int index = -1) : Control(w, Kind::Frame, std::move(name), index) {}
};

// A component placed on the window that is not drawn as a control of its own (the audio
// components); its caption names its class.
class Component : public Control {
 public:
  Component(Window& w, std::string name, int index = -1) : Control(w, Kind::Component, std::move(name), index) {}
};

class TabControl : public Control {
 public:
  TabControl(Window& w, std::string name, std::vector<std::string> tabs)
      : Control(w, Kind::TabControl, std::move(name), -1), tabs_(std::move(tabs)) {}
  const std::vector<std::string>& tabs() const { return tabs_; }
  int tab() const { return tab_; }
  void set_tab(int t);

 private:
  std::vector<std::string> tabs_;
  int tab_ = 0;
};

// A window timer. Enabling a running timer does not restart its period; disabling stops it; a
// new interval is counted from the moment it is set. Ticks never overlap: a tick that is still
// suspended in a wait makes the timer skip its turns. A tick that fell behind is not replayed.
class Timer : public Control {
 public:
  Timer(Window& w, std::string name, int index, int interval_ms, bool enabled);
  ~Timer() override;

  int interval() const { return interval_; }
  void set_interval(int ms);
  bool timer_enabled() const { return timer_enabled_; }
  void set_timer_enabled(bool e);

  void on_tick(std::function<void()> fn);
  void on_tick_async(std::function<Task()> fn);

  // Number of ticks skipped because the previous one was still running.
  std::uint64_t skipped() const { return skipped_; }
  bool running() const { return running_; }

 private:
  void schedule(TimePoint due);
  void unschedule();
  void fire();

  int interval_;
  bool timer_enabled_ = false;
  bool running_ = false;
  std::function<Task()> handler_;
  std::optional<EventLoop::TimerId> pending_;
  TimePoint due_{};
  std::uint64_t skipped_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// An operator message: a modal box with a single OK button. The action that shows it goes on
// when the operator acknowledges it.
struct MessageBox {
  std::uint64_t id;
  std::string text;
};

class Window {
 public:
  using Observer = std::function<void(const Control&, std::string_view property)>;

  explicit Window(EventLoop& loop, std::string name);
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  EventLoop& loop() { return loop_; }
  const std::string& name() const { return name_; }
  const std::string& caption() const { return caption_; }
  void set_caption(std::string c) { caption_ = std::move(c); }

  // Creates and registers a control; the window owns it for its whole life.
  template <class T, class... Args>
  T& make(Args&&... args) {
    auto c = std::make_unique<T>(*this, std::forward<Args>(args)...);
    T& ref = *c;
    add(std::move(c));
    return ref;
  }

  Control* find(std::string_view name, int index = -1) const;
  // All controls in creation order.
  const std::vector<Control*>& controls() const { return order_; }
  std::vector<Control*> array(std::string_view name) const;

  int add_observer(Observer o);
  void remove_observer(int id);
  void notify(const Control& c, std::string_view property);

  // Shows a message box and completes when it is acknowledged.
  struct MessageAwaiter {
    Window& w;
    std::uint64_t id;
    bool await_ready() const noexcept;
    void await_suspend(std::coroutine_handle<> h);
    void await_resume() const noexcept {}
  };
  MessageAwaiter msgbox(std::string text);
  const std::vector<MessageBox>& pending_messages() const { return messages_; }
  // Acknowledges a pending box (the operator's OK); false if there is no such box.
  bool acknowledge(std::uint64_t id);
  // Observers of message boxes (shown and acknowledged), for views and logs.
  std::function<void(const MessageBox&, bool shown)> on_message;
  // Further message-box observers (several views at once); run after on_message.
  using MessageObserver = std::function<void(const MessageBox&, bool shown)>;
  int add_message_observer(MessageObserver o);
  void remove_message_observer(int id);

 private:
  void add(std::unique_ptr<Control> c);

  EventLoop& loop_;
  std::string name_;
  std::string caption_;
  std::vector<std::unique_ptr<Control>> owned_;
  std::vector<Control*> order_;
  std::map<std::pair<std::string, int>, Control*, std::less<>> by_id_;
  std::map<int, Observer> observers_;
  std::map<int, MessageObserver> message_observers_;
  int next_observer_ = 1;
  std::vector<MessageBox> messages_;
  std::map<std::uint64_t, std::coroutine_handle<>> waiting_;
  std::uint64_t next_message_ = 1;
};

}  // namespace quillon::ui

#pragma once
// The error convention of every handler: each step runs guarded, a failing step is skipped,
// and the code of the last failure stays readable until the handler ends.

#include <stdexcept>
#include <string>
#include <utility>

namespace quillon {

// Error codes the logic tests. Serial codes follow the serial-port contract (8002, 8005, > 8000);
// 380 is what a list answers to a position it does not have.
namespace errc {
inline constexpr int invalid_property_value = 380;
inline constexpr int generic = 5;
inline constexpr int port_not_available = 8002;
inline constexpr int port_already_open = 8005;
inline constexpr int port_not_open = 8018;
inline constexpr int port_failure = 8015;
inline constexpr int address_in_use = 10048;
}  // namespace errc

class Error : public std::runtime_error {
 public:
  Error(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
  explicit Error(int code) : Error(code, "error " + std::to_string(code)) {}
  int code() const noexcept { return code_; }

 private:
  int code_;
};

// One per handler or tick: starts at 0; step() runs one guarded step.
class ErrorScope {
 public:
  template <class F>
  bool step(F&& f) {
    try {
      std::forward<F>(f)();
      return true;
    } catch (const Error& e) {
      last_ = e.code();
    } catch (const std::exception&) {
      last_ = errc::generic;
    }
    return false;
  }
  int last() const noexcept { return last_; }
  void clear() noexcept { last_ = 0; }

 private:
  int last_ = 0;
};

}  // namespace quillon

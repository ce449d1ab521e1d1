// Which page controls the table: any number of pages watch, one at a time controls. A page gets
// a random id from the server (hello) and sends it with every request; ids are issued here and
// never derived from anything another page sends, so one page cannot act as another. No I/O; the
// random source and the time are passed in. Calls nothing of the model.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace panel {

// The controlling page beats at least this often while it is open (the page sends one every
// second; a hidden tab's timers still run once a second).
inline constexpr std::chrono::milliseconds controlTimeout{5000};
// Pages remembered at once; past it the page heard from longest ago (never the controlling one)
// is forgotten and must say hello again.
inline constexpr std::size_t maxPages = 64;

class PanelControl {
 public:
  using Clock = std::chrono::steady_clock;
  // newId: a fresh unguessable id (128 random bits as hex); empty when no randomness is to be
  // had, and then no page is admitted.
  explicit PanelControl(std::function<std::string()> newId);

  // A page says hello: `known` is the id it had (a reload keeps its id, and control with it, while
  // the server still knows it); the id to use from now on, empty when none could be made.
  std::string Hello(const std::string& known, Clock::time_point now);
  // Whether `page` is one of ours; a known page is heard from (its beat).
  bool Heard(const std::string& page, Clock::time_point now);

  struct Change {
    bool ok = false;
    std::string message;
    bool controllerChanged = false;  // a held jog of the page that had control must stop
  };
  // Takes control: refused (needs confirming) while another page has it, unless `takeOver`; that
  // page is then told it lost control.
  Change Take(const std::string& page, bool takeOver, Clock::time_point now);
  Change Release(const std::string& page, Clock::time_point now);
  // The controlling page not heard from for controlTimeout loses control; true when it just did.
  bool Expire(Clock::time_point now);

  bool Controls(const std::string& page) const;
  bool Held() const { return !holder_.empty(); }
  // What `page` is shown: {"mine": it controls, "other": another page does, "lost": why this
  // page lost control last (empty once it takes it again)}.
  nlohmann::json StateFor(const std::string& page) const;
  // Changes whenever control changes hands, so that every page's stream is sent its view again.
  std::uint64_t Serial() const { return serial_; }

 private:
  struct Page {
    std::string id;
    Clock::time_point heard;
    std::string lost;
  };
  Page* Find(const std::string& id);
  const Page* Find(const std::string& id) const;
  void LoseControl(const std::string& why);

  std::function<std::string()> newId_;
  std::vector<Page> pages_;
  std::string holder_;
  std::uint64_t serial_ = 0;
};

}  // namespace panel

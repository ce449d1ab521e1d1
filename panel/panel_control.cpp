// Which page controls the table: the pages the server has issued ids to, the controlling one,
// take-over, release and the controlling page's timeout. Ids are compared in time that does not
// depend on where they differ. No I/O.
#include "panel_control.h"

#include <algorithm>
#include <utility>

namespace panel {
namespace {

// An id is 32 hex digits; anything longer is not looked up.
constexpr std::size_t maxIdLength = 64;

bool SameId(const std::string& expected, const std::string& given) {
  if (expected.size() != given.size()) return false;
  unsigned difference = 0;
  for (std::size_t at = 0; at < expected.size(); ++at) {
    difference |= static_cast<unsigned char>(expected[at]) ^ static_cast<unsigned char>(given[at]);
  }
  return difference == 0;
}

}  // namespace

PanelControl::PanelControl(std::function<std::string()> newId) : newId_(std::move(newId)) {}

// Every entry is compared, so the time taken does not say which one matched.
template <typename Pages>
auto* FindIn(Pages& pages, const std::string& id) {
  decltype(&pages.front()) found = nullptr;
  if (id.empty() || id.size() > maxIdLength) return found;
  for (auto& page : pages) {
    if (SameId(page.id, id)) found = &page;
  }
  return found;
}

PanelControl::Page* PanelControl::Find(const std::string& id) {
  return FindIn(pages_, id);
}

const PanelControl::Page* PanelControl::Find(const std::string& id) const {
  return FindIn(pages_, id);
}

std::string PanelControl::Hello(const std::string& known, Clock::time_point now) {
  if (Page* page = Find(known)) {
    page->heard = now;
    return page->id;
  }
  std::string id = newId_ ? newId_() : std::string();
  if (id.size() < 32 || id.size() > maxIdLength || Find(id) != nullptr) return {};
  if (pages_.size() >= maxPages) {
    // The page heard from longest ago goes; the controlling page is never forgotten.
    auto oldest = pages_.end();
    for (auto page = pages_.begin(); page != pages_.end(); ++page) {
      if (SameId(page->id, holder_)) continue;
      if (oldest == pages_.end() || page->heard < oldest->heard) oldest = page;
    }
    if (oldest != pages_.end()) pages_.erase(oldest);
  }
  pages_.push_back({id, now, {}});
  return id;
}

bool PanelControl::Heard(const std::string& page, Clock::time_point now) {
  Page* found = Find(page);
  if (found == nullptr) return false;
  found->heard = now;
  return true;
}

void PanelControl::LoseControl(const std::string& why) {
  if (Page* page = Find(holder_)) page->lost = why;
  holder_.clear();
  ++serial_;
}

PanelControl::Change PanelControl::Take(const std::string& page, bool takeOver,
                                        Clock::time_point now) {
  Expire(now);
  Page* found = Find(page);
  if (found == nullptr) return {false, "this page is not known to the panel: reload it", false};
  found->heard = now;
  if (Controls(page)) return {true, "This page already controls the table", false};
  const bool other = Held();
  if (other && !takeOver) {
    return {false, "another page controls the table: confirm to take control from it", false};
  }
  if (other) LoseControl("another page took control");
  holder_ = found->id;
  found->lost.clear();
  ++serial_;
  return {true, other ? "Control taken over from another page" : "This page controls the table",
          other};
}

PanelControl::Change PanelControl::Release(const std::string& page, Clock::time_point now) {
  Heard(page, now);
  if (!Controls(page)) return {true, "This page did not control the table", false};
  holder_.clear();
  ++serial_;
  return {true, "Control released: every page only watches now", true};
}

bool PanelControl::Expire(Clock::time_point now) {
  const Page* holder = Find(holder_);
  if (holder == nullptr) {
    if (!holder_.empty()) LoseControl("");
    return false;
  }
  if (now - holder->heard <= controlTimeout) return false;
  LoseControl("this page was not heard from for " + std::to_string(controlTimeout.count() / 1000) +
              " s (closed, asleep or cut off), so it lost control");
  return true;
}

bool PanelControl::Controls(const std::string& page) const {
  return !holder_.empty() && SameId(holder_, page);
}

nlohmann::json PanelControl::StateFor(const std::string& page) const {
  const bool mine = Controls(page);
  const Page* found = Find(page);
  return {{"mine", mine},
          {"other", Held() && !mine},
          {"lost", found != nullptr ? found->lost : std::string()},
          {"known", found != nullptr}};
}

}  // namespace panel

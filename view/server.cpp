// The live view's state and routes: access checks before any route (Host, method and path,
// token, and for POST the Origin and Sec-Fetch-Site), the page, /state, /plan (a G-code job's
// planned path), /events (Server-Sent Events) and the control posts. The sampler thread is the only
// reader of the status block; the connections themselves are connection.cpp's.
#include <signal.h>
#include <sys/random.h>

#include <boost/asio/post.hpp>
#include <cstdio>

#include "assets.h"
#include "server_impl.h"
#include "status/status_block.h"

namespace view {
namespace {

using Clock = std::chrono::steady_clock;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// The page: page.html with its style and script (the mm plot, then the page's own) put in place
// of the two markers.
std::string BuildPage() {
  std::string page(assets::Text(assets::page_html, assets::page_html_size));
  auto replace = [&page](const std::string& marker, std::string_view with) {
    const auto at = page.find(marker);
    if (at != std::string::npos) page.replace(at, marker.size(), with);
  };
  replace("/*steplink:style*/", assets::Text(assets::page_css, assets::page_css_size));
  std::string script(assets::Text(assets::plot_mm_js, assets::plot_mm_js_size));
  script += assets::Text(assets::page_js, assets::page_js_size);
  replace("/*steplink:script*/", script);
  return page;
}

// Whether the process that created the block still runs (the same process: pid and start time).
bool OwnerAlive(std::uint32_t pid, std::uint64_t startTime) {
  if (pid == 0) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  if (startTime == 0) return true;
  return status::ProcessStartTime(static_cast<pid_t>(pid)) == startTime;
}

enum class Route { page, state, plan, events, stop, pause, resume, command, query };

struct RouteSpec {
  const char* path;
  Route route;
  bool post;
};
constexpr RouteSpec routes[] = {
    {"/", Route::page, false},        {"/state", Route::state, false},
    {"/plan", Route::plan, false},    {"/events", Route::events, false},
    {"/stop", Route::stop, true},     {"/pause", Route::pause, true},
    {"/resume", Route::resume, true},
};

// A state snapshot with one page's own fields added: both are JSON objects, the fields' members
// go in before the snapshot's closing brace (no parse per page and update).
std::string WithFields(std::string state, const std::string& fields) {
  if (fields.size() <= 2 || state.size() < 2 || state.back() != '}') return state;
  state.pop_back();
  if (state.size() > 1) state += ',';
  state.append(fields, 1);
  return state;
}

Reply Refusal(int status, const std::string& why) {
  Reply reply;
  reply.status = status;
  reply.body = why + "\n";
  return reply;
}

}  // namespace

std::string NewToken() {
  unsigned char bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return {};
    }
    filled += static_cast<std::size_t>(got);
  }
  std::string token;
  char hex[3];
  for (unsigned char byte : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", byte);
    token += hex;
  }
  return token;
}

bool TokenMatches(const std::string& expected, const std::string& given) {
  if (expected.empty()) return false;
  // Every byte of `expected` is compared whatever `given` holds, so the time reveals no prefix.
  unsigned difference = given.size() == expected.size() ? 0u : 1u;
  for (std::size_t index = 0; index < expected.size(); ++index) {
    const unsigned char other =
        index < given.size() ? static_cast<unsigned char>(given[index]) : 0u;
    difference |= static_cast<unsigned char>(expected[index]) ^ other;
  }
  return difference == 0;
}

bool IsLoopbackHost(const std::string& host, int port) {
  const std::string suffix = ":" + std::to_string(port);
  if (host.size() <= suffix.size() ||
      host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  const std::string name = Lower(host.substr(0, host.size() - suffix.size()));
  return name == "127.0.0.1" || name == "localhost" || name == "[::1]";
}

// Reads the block every 5 ms (so the path's corners are sharp), publishes the snapshot at most
// updatesPerSecond times a second and wakes the streams on the loop thread.
void Server::Impl::Sample() {
  constexpr auto samplePeriod = std::chrono::milliseconds(5);
  const auto publishPeriod =
      std::chrono::milliseconds(1000 / std::max(1, std::min(200, options.updatesPerSecond)));
  auto nextPublish = Clock::now();
  bool alive = false;
  for (;;) {
    const auto copy = source->Read();
    const auto now = Clock::now();
    const bool publish = now >= nextPublish;
    if (publish) {
      alive = copy && OwnerAlive(copy->ownerPid, copy->ownerStartTime);
      nextPublish = now + publishPeriod;
    }
    bool wake = false;
    std::unique_lock lock(mutex);
    if (shuttingDown) return;
    if (!finished) {
      live.Update(copy, alive);
      if (publish) {
        nlohmann::json state = live.State();
        if (controls.extraState) state.update(controls.extraState());
        std::string json = state.dump();
        if (json != stateJson || live.LastSerial() != publishedSerial) {
          stateJson = std::move(json);
          publishedSerial = live.LastSerial();
          ++version;
          wake = true;
        }
      }
    }
    if (wake && streams.load() > 0) boost::asio::post(io, [this] { PushStreams(); });
    changed.wait_for(lock, samplePeriod, [this] { return shuttingDown; });
    if (shuttingDown) return;
  }
}

Reply Server::Impl::Respond(const Request& request) {
  // DNS rebinding: a page of another site resolved to 127.0.0.1 still sends its own host name.
  if (request.hostCount > 1) return Refusal(400, "refused: more than one Host header");
  if (!IsLoopbackHost(request.host, port)) {
    return Refusal(
        403, "refused: the Host header must name 127.0.0.1, localhost or [::1] with this port");
  }
  const RouteSpec* spec = nullptr;
  for (const RouteSpec& candidate : routes) {
    if (request.path == candidate.path) spec = &candidate;
  }
  static constexpr RouteSpec commandRoute{"/cmd/", Route::command, true};
  if (controls.command && request.path.rfind(commandRoute.path, 0) == 0) spec = &commandRoute;
  static constexpr RouteSpec queryRoute{"/jobs", Route::query, false};
  if (controls.query && request.path.rfind(queryRoute.path, 0) == 0) spec = &queryRoute;
  if (spec == nullptr) return Refusal(404, "not found");
  const bool get = request.method == "GET" || request.method == "HEAD";
  if (spec->post ? request.method != "POST" : !get) {
    Reply reply = Refusal(405, "method not allowed");
    reply.headers.emplace_back("Allow", spec->post ? "POST" : "GET, HEAD");
    return reply;
  }
  if (spec->post) {
    if (!TokenMatches(token, request.headerToken)) {
      return Refusal(403, "refused: missing or wrong X-Steplink-Token");
    }
    if (request.hasOrigin) {
      const std::string origin = Lower(request.origin);
      const std::string tail = ":" + std::to_string(port);
      if (origin != "http://127.0.0.1" + tail && origin != "http://localhost" + tail &&
          origin != "http://[::1]" + tail) {
        return Refusal(403, "refused: a request from another site");
      }
    }
    if (request.hasFetchSite) {
      const std::string site = Lower(request.fetchSite);
      if (site != "same-origin" && site != "none") {
        return Refusal(403, "refused: a request from another site");
      }
    }
  } else if (!TokenMatches(token, request.token)) {
    return Refusal(403,
                   "refused: missing or wrong token; open the URL steplink printed "
                   "(http://127.0.0.1:PORT/?token=...)");
  }

  Reply reply;
  switch (spec->route) {
    case Route::page:
      reply.headers.emplace_back(
          "Content-Security-Policy",
          "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
          "connect-src 'self'; img-src data:; frame-ancestors 'none'; base-uri 'none'; "
          "form-action 'none'");
      reply.contentType = "text/html; charset=utf-8";
      reply.body = page;
      return reply;
    case Route::state: {
      {
        std::lock_guard lock(mutex);
        reply.body = stateJson;
      }
      reply.contentType = "application/json";
      if (controls.pageState)
        reply.body = WithFields(reply.body, controls.pageState(request.page).dump());
      return reply;
    }
    case Route::plan:
      // Set before Start and never changed: read without the lock.
      if (planJson.empty()) return Refusal(404, "no planned path: this view shows no G-code job");
      reply.contentType = "application/json";
      reply.body = planJson;
      return reply;
    case Route::events:
      if (streams.load() >= options.maxStreams) {
        reply = Refusal(503, "too many live pages open (at most " +
                                 std::to_string(options.maxStreams) + "); close one");
        reply.headers.emplace_back("Retry-After", "5");
        return reply;
      }
      reply.contentType = "text/event-stream";
      reply.stream = true;
      return reply;
    case Route::command: {
      auto [status, body] =
          controls.command(request.path.substr(std::string_view(commandRoute.path).size()),
                           request.body, request.page);
      reply.status = status;
      reply.contentType = "application/json";
      reply.body = std::move(body);
      return reply;
    }
    case Route::query: {
      auto [status, body] = controls.query(request.path);
      reply.status = status;
      reply.contentType = "application/json";
      reply.body = std::move(body);
      return reply;
    }
    default:
      break;
  }
  const std::function<void()>* action = spec->route == Route::stop    ? &controls.stop
                                        : spec->route == Route::pause ? &controls.pause
                                                                      : &controls.resume;
  if (!*action) {
    return Refusal(404,
                   "not offered: this view watches a status block another process writes; there "
                   "is no job of ours to control");
  }
  reply.status = 202;
  reply.contentType = "application/json";
  if (spec->route == Route::stop && stopRequested.exchange(true) && !controls.stopEveryTime) {
    reply.body = "{\"ok\":true,\"action\":\"stop\",\"already\":true}";
    return reply;
  }
  (*action)();
  const char* name = spec->route == Route::stop    ? "stop"
                     : spec->route == Route::pause ? "pause"
                                                   : "resume";
  reply.body = std::string("{\"ok\":true,\"action\":\"") + name + "\"}";
  return reply;
}

std::string Server::Impl::NextChunk(StreamCursor& cursor, bool& done) {
  std::string chunk;
  // The page's own fields, taken before the view's lock (their lock is never held with it).
  const std::string fields = controls.pageState ? controls.pageState(cursor.page).dump() : "";
  std::lock_guard lock(mutex);
  if (!cursor.started || version != cursor.sentVersion) {
    // The path's new corners, then the state; a stream that fell behind the recent corners gets
    // the whole history again.
    std::optional<nlohmann::json> points;
    if (cursor.started) points = live.PointsSince(cursor.sentSerial);
    if (points) {
      if (!points->empty()) chunk += "event: points\ndata: " + points->dump() + "\n\n";
    } else {
      chunk += "event: history\ndata: " + live.History().dump() + "\n\n";
    }
    if (!cursor.started) chunk = "retry: 2000\n\n" + chunk;
    cursor.started = true;
    cursor.sentSerial = live.LastSerial();
    chunk += "event: state\ndata: " + WithFields(stateJson, fields) + "\n\n";
    cursor.sentVersion = version;
    if (finished) {
      done = true;
      finalDelivered.fetch_add(1);
    }
  }
  if (shuttingDown) done = true;
  return chunk;
}

Server::Server(std::unique_ptr<StateSource> source, JobInfo job, Controls controls,
               ServerOptions options)
    : impl_(std::make_unique<Impl>()) {
  impl_->source = std::move(source);
  impl_->job = std::move(job);
  impl_->planJson = std::move(impl_->job.planJson);
  impl_->job.planJson.clear();
  impl_->controls = std::move(controls);
  impl_->options = std::move(options);
  impl_->job.canStop = static_cast<bool>(impl_->controls.stop);
  impl_->job.canPause = impl_->controls.pause && impl_->controls.resume;
  impl_->live = LiveState(impl_->job);
  impl_->stateJson = impl_->live.State().dump();
  impl_->token = impl_->options.token.empty() ? NewToken() : impl_->options.token;
  impl_->page = impl_->options.page.empty() ? BuildPage() : impl_->options.page;
}

Server::~Server() {
  Shutdown();
}

bool Server::Start(std::string& error) {
  Impl& impl = *impl_;
  if (impl.token.size() < 32) {
    error = "no random token: the kernel's random source failed";
    return false;
  }
  if (!impl.Listen(error)) return false;
  impl.sampler = std::thread([&impl] { impl.Sample(); });
  impl.loop = std::thread([&impl] {
    impl.Accept();
    impl.io.run();
  });
  return true;
}

int Server::Port() const {
  return impl_->port;
}
const std::string& Server::Token() const {
  return impl_->token;
}
int Server::OpenStreams() const {
  return impl_->streams.load();
}

std::string Server::Url() const {
  const std::string host = impl_->options.ipv6 ? "[::1]" : "127.0.0.1";
  return "http://" + host + ":" + std::to_string(impl_->port) + "/?token=" + impl_->token;
}

void Server::Finish(const std::string& outcome, int exitCode, std::chrono::milliseconds linger) {
  Impl& impl = *impl_;
  // A last sample, so the page shows the final positions, then the outcome.
  const auto copy = impl.source->Read();
  {
    std::lock_guard lock(impl.mutex);
    if (impl.finished) return;
    impl.live.Update(copy, false);
    impl.live.Finish(outcome, exitCode);
    nlohmann::json state = impl.live.State();
    if (impl.controls.extraState) state.update(impl.controls.extraState());
    impl.stateJson = state.dump();
    impl.publishedSerial = impl.live.LastSerial();
    impl.finished = true;
    ++impl.version;
    impl.changed.notify_all();
  }
  boost::asio::post(impl.io, [&impl] { impl.PushStreams(); });
  const auto deadline = Clock::now() + linger;
  while (Clock::now() < deadline && impl.finalDelivered.load() < impl.streams.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void Server::Shutdown() {
  Impl& impl = *impl_;
  {
    std::lock_guard lock(impl.mutex);
    if (impl.shuttingDown) return;
    impl.shuttingDown = true;
    impl.changed.notify_all();
  }
  // The loop ends when the listener and every connection are closed and nothing is left to run.
  if (impl.loop.joinable()) {
    boost::asio::post(impl.io, [&impl] { impl.CloseAll(); });
    impl.loop.join();
  }
  if (impl.sampler.joinable()) impl.sampler.join();
}

}  // namespace view

// The live view's HTTP server on cpp-httplib: access checks before any route (Host, method and
// path, token, and for POST the Origin and Sec-Fetch-Site), the page, /state, /events (Server-Sent
// Events) and the control posts. The sampler thread is the only reader of the status block.
#include "server.h"

#include <httplib.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "assets.h"

namespace view {
namespace {

using Clock = std::chrono::steady_clock;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// The page: page.html with its style and script put in place of the two markers.
std::string BuildPage() {
  std::string page(assets::Text(assets::page_html, assets::page_html_size));
  auto replace = [&page](const std::string& marker, std::string_view with) {
    const auto at = page.find(marker);
    if (at != std::string::npos) page.replace(at, marker.size(), with);
  };
  replace("/*steplink:style*/", assets::Text(assets::page_css, assets::page_css_size));
  replace("/*steplink:script*/", assets::Text(assets::page_js, assets::page_js_size));
  return page;
}

// Whether the process that created the block still runs (the same process: pid and start time).
bool OwnerAlive(std::uint32_t pid, std::uint64_t startTime) {
  if (pid == 0) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  if (startTime == 0) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  // Fields after the command: state is field 3, start time field 22.
  for (int index = 3; index <= 22 && fields >> field; ++index) {
    if (index == 22) return std::stoull(field) == startTime;
  }
  return false;
}

enum class Route { page, state, events, stop, pause, resume };

struct RouteSpec {
  const char* path;
  Route route;
  bool post;
};
constexpr RouteSpec routes[] = {
    {"/", Route::page, false},         {"/state", Route::state, false},
    {"/events", Route::events, false}, {"/stop", Route::stop, true},
    {"/pause", Route::pause, true},    {"/resume", Route::resume, true},
};

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

struct Server::Impl {
  std::unique_ptr<StateSource> source;
  JobInfo job;
  Controls controls;
  ServerOptions options;
  std::string token;
  std::string page;
  int port = -1;
  int listenSocket = -1;

  httplib::Server http;
  std::thread listener;
  std::thread sampler;

  // The view's own lock: guards the live state and the cached JSON, never held while reading
  // the block or writing to a socket.
  mutable std::mutex mutex;
  std::condition_variable changed;
  LiveState live{JobInfo{}};
  std::string stateJson = "{}";
  std::uint64_t version = 0;
  std::uint64_t publishedSerial = 0;
  bool finished = false;
  bool shuttingDown = false;

  std::atomic<int> streams{0};
  std::atomic<int> finalDelivered{0};
  std::atomic<bool> stopRequested{false};

  // Reads the block every 5 ms (so the path's corners are sharp), publishes the snapshot at
  // most updatesPerSecond times a second.
  void Sample() {
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
      std::unique_lock lock(mutex);
      if (shuttingDown) return;
      if (!finished) {
        live.Update(copy, alive);
        if (publish) {
          std::string json = live.State().dump();
          if (json != stateJson || live.LastSerial() != publishedSerial) {
            stateJson = std::move(json);
            publishedSerial = live.LastSerial();
            ++version;
            changed.notify_all();
          }
        }
      }
      changed.wait_for(lock, samplePeriod, [this] { return shuttingDown; });
      if (shuttingDown) return;
    }
  }

  bool Allowed(const httplib::Request& request, httplib::Response& response,
               const RouteSpec*& spec) {
    auto refuse = [&response](int status, const std::string& why) {
      response.status = status;
      response.set_content(why + "\n", "text/plain; charset=utf-8");
      return false;
    };
    // DNS rebinding: a page of another site resolved to 127.0.0.1 still sends its own host name.
    if (!IsLoopbackHost(request.get_header_value("Host"), port)) {
      return refuse(
          403, "refused: the Host header must name 127.0.0.1, localhost or [::1] with this port");
    }
    spec = nullptr;
    for (const RouteSpec& candidate : routes) {
      if (request.path == candidate.path) spec = &candidate;
    }
    if (spec == nullptr) return refuse(404, "not found");
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (spec->post ? request.method != "POST" : !get) {
      response.set_header("Allow", spec->post ? "POST" : "GET, HEAD");
      return refuse(405, "method not allowed");
    }
    if (spec->post) {
      if (!TokenMatches(token, request.get_header_value("X-Steplink-Token"))) {
        return refuse(403, "refused: missing or wrong X-Steplink-Token");
      }
      if (request.has_header("Origin")) {
        const std::string origin = Lower(request.get_header_value("Origin"));
        const std::string tail = ":" + std::to_string(port);
        if (origin != "http://127.0.0.1" + tail && origin != "http://localhost" + tail &&
            origin != "http://[::1]" + tail) {
          return refuse(403, "refused: a request from another site");
        }
      }
      if (request.has_header("Sec-Fetch-Site")) {
        const std::string site = Lower(request.get_header_value("Sec-Fetch-Site"));
        if (site != "same-origin" && site != "none") {
          return refuse(403, "refused: a request from another site");
        }
      }
    } else if (!TokenMatches(token, request.get_param_value("token"))) {
      return refuse(403,
                    "refused: missing or wrong token; open the URL steplink printed "
                    "(http://127.0.0.1:PORT/?token=...)");
    }
    return true;
  }

  void Control(Route route, httplib::Response& response) {
    const std::function<void()>* action = route == Route::stop    ? &controls.stop
                                          : route == Route::pause ? &controls.pause
                                                                  : &controls.resume;
    if (!*action) {
      response.status = 404;
      response.set_content(
          "not offered: this view watches a status block another process writes; there is no "
          "job of ours to control\n",
          "text/plain; charset=utf-8");
      return;
    }
    if (route == Route::stop && stopRequested.exchange(true)) {
      response.status = 202;
      response.set_content("{\"ok\":true,\"action\":\"stop\",\"already\":true}",
                           "application/json");
      return;
    }
    (*action)();
    response.status = 202;
    const char* name = route == Route::stop ? "stop" : route == Route::pause ? "pause" : "resume";
    response.set_content(std::string("{\"ok\":true,\"action\":\"") + name + "\"}",
                         "application/json");
  }

  void Events(httplib::Response& response) {
    if (streams.fetch_add(1) >= options.maxStreams) {
      streams.fetch_sub(1);
      response.status = 503;
      response.set_header("Retry-After", "5");
      response.set_content("too many live pages open (at most " +
                               std::to_string(options.maxStreams) + "); close one\n",
                           "text/plain; charset=utf-8");
      return;
    }
    response.set_header("Cache-Control", "no-store");
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, sentVersion = std::uint64_t{0}, sentSerial = std::uint64_t{0}, started = false,
         lastWrite = Clock::now()](std::size_t, httplib::DataSink& sink) mutable {
          std::string chunk;
          bool done = false;
          {
            std::unique_lock lock(mutex);
            if (started) {
              changed.wait_for(lock, std::chrono::milliseconds(100),
                               [&] { return shuttingDown || version != sentVersion; });
            }
            if (!started || version != sentVersion) {
              // The path's new corners, then the state; a stream that fell behind the recent
              // corners gets the whole history again.
              std::optional<nlohmann::json> points;
              if (started) points = live.PointsSince(sentSerial);
              if (points) {
                if (!points->empty()) chunk += "event: points\ndata: " + points->dump() + "\n\n";
              } else {
                chunk += "event: history\ndata: " + live.History().dump() + "\n\n";
              }
              if (!started) chunk = "retry: 2000\n\n" + chunk;
              started = true;
              sentSerial = live.LastSerial();
              chunk += "event: state\ndata: " + stateJson + "\n\n";
              sentVersion = version;
              if (finished) {
                done = true;
                finalDelivered.fetch_add(1);
              }
            }
            if (shuttingDown) done = true;
          }
          if (chunk.empty() && Clock::now() - lastWrite >= options.heartbeat) {
            chunk = ": heartbeat\n\n";
          }
          if (!chunk.empty()) {
            if (!sink.write(chunk.data(), chunk.size())) return false;  // the page went away
            lastWrite = Clock::now();
          }
          if (done) sink.done();
          return true;
        },
        [this](bool) { streams.fetch_sub(1); });
  }

  void Handle(const httplib::Request& request, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("X-Frame-Options", "DENY");
    const RouteSpec* spec = nullptr;
    if (!Allowed(request, response, spec)) return;
    switch (spec->route) {
      case Route::page:
        response.set_header("Content-Security-Policy",
                            "default-src 'none'; script-src 'unsafe-inline'; style-src "
                            "'unsafe-inline'; connect-src 'self'; img-src data:; "
                            "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
        response.set_content(page, "text/html; charset=utf-8");
        response.status = 200;
        break;
      case Route::state: {
        std::string json;
        {
          std::lock_guard lock(mutex);
          json = stateJson;
        }
        response.set_content(json, "application/json");
        response.status = 200;
        break;
      }
      case Route::events:
        Events(response);
        if (response.status < 0) response.status = 200;
        break;
      default:
        Control(spec->route, response);
    }
  }
};

Server::Server(std::unique_ptr<StateSource> source, JobInfo job, Controls controls,
               ServerOptions options)
    : impl_(std::make_unique<Impl>()) {
  impl_->source = std::move(source);
  impl_->job = job;
  impl_->controls = std::move(controls);
  impl_->options = std::move(options);
  impl_->job.canStop = static_cast<bool>(impl_->controls.stop);
  impl_->job.canPause = impl_->controls.pause && impl_->controls.resume;
  impl_->live = LiveState(impl_->job);
  impl_->stateJson = impl_->live.State().dump();
  impl_->token = impl_->options.token.empty() ? NewToken() : impl_->options.token;
  impl_->page = BuildPage();
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
  const int workers = std::max(impl.options.workerThreads, impl.options.maxStreams + 2);
  impl.http.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  // One request per connection and short timeouts: an idle or slow connection holds a worker
  // for at most about a second, so the workers left beside the streams stay available.
  impl.http.set_keep_alive_max_count(1);
  impl.http.set_keep_alive_timeout(1);
  impl.http.set_read_timeout(1, 0);
  impl.http.set_write_timeout(2, 0);
  impl.http.set_payload_max_length(4096);
  impl.http.set_pre_routing_handler(
      [&impl](const httplib::Request& request, httplib::Response& response) {
        impl.Handle(request, response);
        return httplib::Server::HandlerResponse::Handled;
      });
  // The library listens with a backlog of 5: fifty pages connecting at once would see their
  // connection attempts dropped and retried seconds later. Listening again on the same socket
  // raises the backlog.
  impl.http.set_socket_options([&impl](socket_t sock) {
    httplib::default_socket_options(sock);
    impl.listenSocket = sock;
  });
  const std::string host = impl.options.ipv6 ? "::1" : "127.0.0.1";
  if (impl.options.port == 0) {
    impl.port = impl.http.bind_to_any_port(host);
  } else if (impl.http.bind_to_port(host, impl.options.port)) {
    impl.port = impl.options.port;
  }
  if (impl.port <= 0) {
    error = "cannot listen on " + host + " port " + std::to_string(impl.options.port) +
            (impl.options.port == 0 ? "" : " (in use?)");
    return false;
  }
  if (impl.listenSocket >= 0) listen(impl.listenSocket, 128);
  impl.sampler = std::thread([&impl] { impl.Sample(); });
  impl.listener = std::thread([&impl] { impl.http.listen_after_bind(); });
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
    impl.stateJson = impl.live.State().dump();
    impl.publishedSerial = impl.live.LastSerial();
    impl.finished = true;
    ++impl.version;
    impl.changed.notify_all();
  }
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
  if (impl.listener.joinable()) {
    impl.http.stop();
    impl.listener.join();
  }
  if (impl.sampler.joinable()) impl.sampler.join();
}

}  // namespace view

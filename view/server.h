// The live view's HTTP server: the page, an event stream and a JSON snapshot of the table, plus
// Stop/Pause/Resume for a job of ours. Loopback only, a per-run token on every request. Runs in
// the runner (never in the call process): a sampler thread copies the status block through its
// sequence lock; the server's threads take only the view's own lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "live_state.h"
#include "status_source.h"

namespace view {

// What the page's buttons do. Each runs on the server's loop thread and must only signal (e.g. send
// a signal to the call process); empty = not offered (404).
struct Controls {
  std::function<void()> stop;
  std::function<void()> pause;
  std::function<void()> resume;
  // A job's Stop is taken once (a second one answers "already"); a session that outlives a Stop
  // (the control panel) takes every one.
  bool stopEveryTime = false;
  // POST /cmd/NAME with a JSON body (the panel's commands), after the same access checks as Stop:
  // NAME, the body and the asking page's id (X-Steplink-Page, empty if none) in, an HTTP status
  // and a JSON reply out. Runs on the loop thread: it must only take its own short lock. Empty:
  // /cmd/ is 404.
  std::function<std::pair<int, std::string>(const std::string& name, const std::string& body,
                                            const std::string& page)>
      command;
  // GET of a path under /jobs (the panel's job list and check), after the same token check as
  // /state: an HTTP status and a JSON body. Runs on the loop thread, like `command`. Empty: 404.
  std::function<std::pair<int, std::string>(const std::string& path)> query;
  // Fields merged into every state snapshot (GET /state and the events); called by the sampler
  // with the view's lock held, so it must take no lock that is held while calling the server.
  std::function<nlohmann::json()> extraState;
  // Fields for the asking page alone (the panel's `control`), merged into GET /state and into
  // each page's event stream: the page's id in (X-Steplink-Page or ?page=), an object out. Runs
  // on the loop thread without the view's lock; only its own short lock.
  std::function<nlohmann::json(const std::string& page)> pageState;
};

struct ServerOptions {
  bool ipv6 = false;   // listen on ::1 instead of 127.0.0.1
  int port = 0;        // 0: a free port chosen by the system
  int maxStreams = 8;  // open event streams; the next page gets 503
  // Open connections, also kept to the descriptors left free when the server starts, less a
  // margin for the job's own files. At the cap a new connection evicts the oldest one still
  // short of a complete request that belongs to another user; only a connection of the job's
  // own user (or root) evicts one of that user. So no other user's flood, however fast or
  // however few descriptors are left, keeps a fresh POST /stop of the job's user out.
  int maxConnections = 128;
  // A new connection that sends nothing is closed after idleTimeout; one that has sent its first
  // byte must have delivered the complete request by requestDeadline after it.
  std::chrono::milliseconds idleTimeout{1000};
  std::chrono::milliseconds requestDeadline{3000};
  std::chrono::milliseconds writeTimeout{5000};  // one response, or one piece of a stream
  // Over a cap: 431 (header bytes, including the request line, or fields) or 413 (body); the
  // connection is closed, nothing more of it is read.
  std::size_t maxHeaderBytes = 8192;
  int maxHeaderFields = 64;
  std::size_t maxBodyBytes = 1024;  // the control posts take none, the panel's commands JSON
  int updatesPerSecond = 20;
  std::chrono::milliseconds heartbeat{2000};
  std::string token;  // empty: a fresh random one (tests may fix it)
  std::string page;   // the HTML served at /; empty: the live view's page
};

class Server {
 public:
  Server(std::unique_ptr<StateSource> source, JobInfo job, Controls controls,
         ServerOptions options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and starts serving; false with a reason (port taken, no loopback address).
  bool Start(std::string& error);
  int Port() const;
  const std::string& Token() const;
  std::string Url() const;  // http://127.0.0.1:PORT/?token=...
  int OpenStreams() const;

  // The job is over: every page is told (outcome as the page shows it), streams get up to
  // `linger` to deliver that before the server closes.
  void Finish(const std::string& outcome, int exitCode,
              std::chrono::milliseconds linger = std::chrono::milliseconds(500));
  void Shutdown();

  struct Impl;  // view/server_impl.h: shared by the routes and the event loop, opaque elsewhere

 private:
  std::unique_ptr<Impl> impl_;
};

// 128 random bits from the kernel as 32 hex digits; empty if the kernel gives none.
std::string NewToken();
// Equal strings, in time that depends only on the length of `expected`.
bool TokenMatches(const std::string& expected, const std::string& given);
// Whether a Host header names a loopback address with our port.
bool IsLoopbackHost(const std::string& host, int port);

}  // namespace view

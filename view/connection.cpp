// The live view's event loop on Boost.Asio with Beast's request parser: accepts on the loopback
// socket and holds every connection to the caps (open connections, header bytes and fields,
// body), the idle wait and the deadline from the first byte, then answers through
// Server::Impl::Respond or streams events. Everything here runs on the one loop thread.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/status.hpp>
#include <optional>

#include "server_impl.h"

namespace view {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using boost::beast::error_code;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t readChunkBytes = 4096;
// Descriptors kept free for the runner after the view starts (see Listen), and the fewest
// connections served however few are left (the page, its stream, a control post).
constexpr long long jobDescriptorMargin = 12;
constexpr long long minConnections = 3;

// Descriptors this process has open now (the count's own included); 0 when unknown.
long long OpenDescriptors() {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return 0;
  long long count = 0;
  while (const dirent* entry = readdir(folder)) count += entry->d_name[0] != '.' ? 1 : 0;
  closedir(folder);
  return count;
}

std::string StatusLine(int status) {
  const auto reason = http::obsolete_reason(static_cast<http::status>(status));
  return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason.data(), reason.size()) +
         "\r\n";
}

// The headers every response carries.
std::string CommonHeaders(const Reply& reply) {
  std::string text =
      "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
      "Referrer-Policy: no-referrer\r\nX-Frame-Options: DENY\r\nConnection: close\r\n"
      "Content-Type: " +
      reply.contentType + "\r\n";
  for (const auto& [name, value] : reply.headers) {
    text += name;
    text += ": ";
    text += value;
    text += "\r\n";
  }
  return text;
}

std::string ResponseText(const Reply& reply, bool head) {
  return StatusLine(reply.status) + CommonHeaders(reply) +
         "Content-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n" +
         (head ? std::string() : reply.body);
}

std::string Chunk(const std::string& piece) {
  char size[20];
  std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
  return size + piece + "\r\n";
}

}  // namespace

struct Connection : std::enable_shared_from_this<Connection> {
  enum class Phase { idle, reading, responding, streaming, closed };

  Connection(Server::Impl& owner, tcp::socket accepted)
      : server(owner),
        socket(std::move(accepted)),
        deadline(owner.io),
        heartbeat(owner.io),
        input(owner.options.maxHeaderBytes + owner.options.maxBodyBytes + readChunkBytes),
        parser(std::in_place, owner.options.maxHeaderBytes, owner.options.maxHeaderFields,
               owner.options.maxBodyBytes) {}

  Server::Impl& server;
  tcp::socket socket;
  bool ownUser = false;        // opened by the job's own user (or root): never evicted by another's
  net::steady_timer deadline;  // the idle wait, then the request's deadline, then each write's
  net::steady_timer heartbeat;  // streams: a comment when nothing was written for a while
  Phase phase = Phase::idle;
  std::list<std::shared_ptr<Connection>>::iterator at;  // in server.connections
  boost::beast::flat_buffer input;  // bounded: the header cap, the body cap and one read
  std::optional<RequestParser> parser;
  std::string output;  // one response, or one piece of the stream, while it is written
  bool writing = false;
  StreamCursor cursor;
  bool streamDone = false;
  Clock::time_point lastWrite;
  std::array<char, 256> scratch{};  // what a stream's client sends is read and dropped

  bool Pending() const { return phase == Phase::idle || phase == Phase::reading; }

  void Start() {
    Expire(server.options.idleTimeout);
    Read();
  }

  // Closes the connection when `after` passes before the next Expire or Close.
  void Expire(std::chrono::milliseconds after) {
    deadline.expires_after(after);
    deadline.async_wait([self = shared_from_this()](error_code ec) {
      if (!ec) self->Close();
    });
  }

  void Read() {
    const std::size_t room = input.max_size() - input.size();
    if (room == 0) return Refuse(431, "request header too large");
    socket.async_read_some(
        input.prepare(std::min(room, readChunkBytes)),
        [self = shared_from_this()](error_code ec, std::size_t got) { self->OnRead(ec, got); });
  }

  void OnRead(error_code ec, std::size_t got) {
    if (phase == Phase::closed) return;
    if (ec) return Close();  // the client left (or reset) before a complete request
    input.commit(got);
    if (phase == Phase::idle) {
      // The whole request is due within the deadline from its first byte, however it trickles.
      phase = Phase::reading;
      Expire(server.options.requestDeadline);
    }
    while (input.size() > 0 && !parser->is_done()) {
      error_code parseError;
      const std::size_t used = parser->put(input.data(), parseError);
      input.consume(used);
      if (parseError == http::error::need_more) break;
      if (parseError == http::error::header_limit) {
        return Refuse(431, "request header too large (at most " +
                               std::to_string(server.options.maxHeaderBytes) + " bytes in " +
                               std::to_string(server.options.maxHeaderFields) + " fields)");
      }
      if (parseError == http::error::body_limit) return Refuse(413, "request body too large");
      if (parseError) return Refuse(400, "bad request: " + parseError.message());
      if (used == 0) break;
    }
    if (!parser->is_done()) return Read();
    phase = Phase::responding;
    const Request request = std::move(parser->request);
    parser.reset();
    input = boost::beast::flat_buffer(0);
    const Reply reply = server.Respond(request);
    if (reply.stream && request.method != "HEAD") {
      cursor.page = request.page;
      return StartStream(reply);
    }
    output = ResponseText(reply, request.method == "HEAD");
    Write();
  }

  // Over a cap or malformed: the answer, then the connection is closed unread.
  void Refuse(int status, const std::string& why) {
    phase = Phase::responding;
    parser.reset();
    input = boost::beast::flat_buffer(0);
    Reply reply;
    reply.status = status;
    reply.body = why + "\n";
    output = ResponseText(reply, false);
    Write();
  }

  void Write() {
    writing = true;
    Expire(server.options.writeTimeout);
    net::async_write(socket, net::buffer(output),
                     [self = shared_from_this()](error_code ec, std::size_t) {
                       self->writing = false;
                       if (self->phase == Phase::closed) return;
                       if (ec || self->phase == Phase::responding || self->streamDone) {
                         return self->Close();
                       }
                       self->deadline.cancel();
                       self->lastWrite = Clock::now();
                       self->ArmHeartbeat();
                       self->Push();  // what changed while this piece was written
                     });
  }

  void StartStream(const Reply& reply) {
    phase = Phase::streaming;
    server.streams.fetch_add(1);
    output = StatusLine(200) + CommonHeaders(reply) + "Transfer-Encoding: chunked\r\n\r\n";
    const std::string first = server.NextChunk(cursor, streamDone);
    output += Chunk(first);
    if (streamDone) output += "0\r\n\r\n";
    Write();
    WatchClient();
  }

  // A stream's client only listens: anything it sends is dropped, its end ends the stream.
  void WatchClient() {
    socket.async_read_some(net::buffer(scratch),
                           [self = shared_from_this()](error_code ec, std::size_t) {
                             if (self->phase == Phase::closed) return;
                             if (ec) return self->Close();
                             self->WatchClient();
                           });
  }

  void ArmHeartbeat() {
    heartbeat.expires_at(lastWrite + server.options.heartbeat);
    heartbeat.async_wait([self = shared_from_this()](error_code ec) {
      if (!ec) self->Push();
    });
  }

  // Writes what is new for this stream (or a heartbeat when due); one piece at a time, so a
  // page that reads slowly holds one piece, not a queue.
  void Push() {
    if (phase != Phase::streaming || writing || streamDone) return;
    std::string piece = server.NextChunk(cursor, streamDone);
    if (piece.empty() && !streamDone) {
      if (Clock::now() - lastWrite < server.options.heartbeat) return;
      piece = ": heartbeat\n\n";
    }
    output = piece.empty() ? std::string() : Chunk(piece);
    if (streamDone) output += "0\r\n\r\n";
    Write();
  }

  void Close() {
    if (phase == Phase::closed) return;
    const auto keep = shared_from_this();
    if (phase == Phase::streaming) server.streams.fetch_sub(1);
    phase = Phase::closed;
    error_code ignored;
    if (!writing) socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
    deadline.cancel();
    heartbeat.cancel();
    server.connections.erase(at);
  }
};

bool Server::Impl::Listen(std::string& error) {
  const std::string host = options.ipv6 ? "::1" : "127.0.0.1";
  error_code ec;
  const tcp::endpoint endpoint(net::ip::make_address(host, ec),
                               static_cast<unsigned short>(options.port));
  if (!ec) acceptor.open(endpoint.protocol(), ec);
  if (!ec && options.ipv6) acceptor.set_option(net::ip::v6_only(true), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  // The system's largest backlog (SOMAXCONN): while another user floods it, a connection of
  // the job's user still finds room in the queue (a full queue drops it for a second).
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (!ec) acceptor.native_non_blocking(true, ec);
  if (ec) {
    error = "cannot listen on " + host + " port " + std::to_string(options.port) + ": " +
            ec.message() + (options.port == 0 ? "" : " (in use?)");
    return false;
  }
  port = acceptor.local_endpoint().port();
  reserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  // Within the descriptors still free: the runner's later files (the outputs it writes at the
  // end, a second call process's pipes, the record read back) must never find none left, and a
  // connection accepted past the limit would be shed unseen, whoever opened it.
  rlimit files{};
  long long cap = options.maxConnections;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
    const long long free = static_cast<long long>(files.rlim_cur) - OpenDescriptors();
    cap = std::min(cap, free - jobDescriptorMargin);
  }
  maxConnections = static_cast<int>(std::max<long long>(cap, minConnections));
  return true;
}

void Server::Impl::Accept() {
  acceptor.async_accept([this](error_code ec, tcp::socket socket) {
    if (!acceptor.is_open() || ec == net::error::operation_aborted) return;
    if (!ec) {
      Admit(std::move(socket));
    } else if (ec == net::error::no_descriptors || ec == net::error::no_buffer_space ||
               ec == net::error::no_memory ||
               ec == boost::system::errc::too_many_files_open_in_system) {
      // Out of descriptors: the connection at the head of the backlog is taken with the
      // reserve and closed, so the loop goes on; with no reserve left, retry a little later.
      if (!ShedOneConnection()) {
        acceptRetry.expires_after(std::chrono::milliseconds(50));
        acceptRetry.async_wait([this](error_code waitError) {
          if (!waitError) Accept();
        });
        return;
      }
    }
    Accept();
  });
}

bool Server::Impl::ShedOneConnection() {
  if (reserveFd >= 0) ::close(reserveFd);
  const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) ::close(fd);
  reserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return reserveFd >= 0;
}

void Server::Impl::Admit(tcp::socket socket) {
  const std::optional<uid_t> owner = peerOwner.Of(socket.native_handle());
  const bool ownUser = owner && (*owner == geteuid() || *owner == 0);
  if (static_cast<int>(connections.size()) >= maxConnections) {
    // At the cap the oldest connection of another user still short of a complete request makes
    // room (it has had the longest to send one); failing that, for a newcomer of the job's own
    // user, the oldest such connection of its own user. Streams and answers in flight are never
    // evicted. Another user's churn thus only ever evicts its own connections.
    auto victim = std::find_if(connections.begin(), connections.end(),
                               [](const auto& open) { return open->Pending() && !open->ownUser; });
    if (victim == connections.end() && ownUser) {
      victim = std::find_if(connections.begin(), connections.end(),
                            [](const auto& open) { return open->Pending(); });
    }
    if (victim == connections.end()) return;  // the newcomer is closed
    (*victim)->Close();
  }
  error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  auto connection = std::make_shared<Connection>(*this, std::move(socket));
  connection->ownUser = ownUser;
  connections.push_back(connection);
  connection->at = std::prev(connections.end());
  connection->Start();
}

void Server::Impl::PushStreams() {
  for (const auto& open :
       std::vector<std::shared_ptr<Connection>>(connections.begin(), connections.end())) {
    if (open->phase == Connection::Phase::streaming) open->Push();
  }
}

void Server::Impl::CloseAll() {
  error_code ignored;
  acceptor.close(ignored);
  acceptRetry.cancel();
  while (!connections.empty()) connections.front()->Close();
  if (reserveFd >= 0) ::close(reserveFd);
  reserveFd = -1;
}

}  // namespace view

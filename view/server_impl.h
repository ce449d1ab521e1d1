// What server.cpp (state, access rules, routes) and connection.cpp (the event loop: accept,
// caps, deadlines, eviction, streams) share: the parsed request, the reply, and the server's
// state. Internal to view/; only Boost.Asio/Beast below it.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "peer_owner.h"
#include "server.h"

namespace view {

// The parts of a request the routes look at; everything else is counted and dropped as it
// is parsed, so a request costs its header's bytes at most while it is read.
struct Request {
  std::string method;
  std::string path;   // percent-decoded, without the query
  std::string token;  // the first `token` query parameter, percent-decoded
  std::string host;
  int hostCount = 0;
  std::string headerToken;  // X-Steplink-Token
  // The asking page's id (X-Steplink-Page, or the first `page` query parameter for the event
  // stream, which cannot send headers); empty when none was sent.
  std::string page;
  bool hasOrigin = false;
  std::string origin;
  bool hasFetchSite = false;
  std::string fetchSite;  // Sec-Fetch-Site
  std::string body;       // at most ServerOptions::maxBodyBytes (the parser refuses more)
};

// A request parser that keeps only Request's fields and refuses a header of more than
// `maxFields` fields (reported as Beast's header_limit, like a header over its byte cap).
class RequestParser final : public boost::beast::http::basic_parser<true> {
 public:
  RequestParser(std::size_t maxHeaderBytes, int maxFields, std::size_t maxBodyBytes);
  Request request;

 private:
  using string_view = boost::beast::string_view;
  using error_code = boost::beast::error_code;
  void on_request_impl(boost::beast::http::verb, string_view method, string_view target, int,
                       error_code&) override;
  void on_response_impl(int, string_view, int, error_code& ec) override;
  void on_field_impl(boost::beast::http::field name, string_view nameText, string_view value,
                     error_code& ec) override;
  void on_header_impl(error_code&) override {}
  void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) override {}
  std::size_t on_body_impl(string_view body, error_code&) override {
    request.body.append(body.data(), body.size());
    return body.size();
  }
  void on_chunk_header_impl(std::uint64_t, string_view, error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, string_view body, error_code&) override {
    request.body.append(body.data(), body.size());
    return body.size();
  }
  void on_finish_impl(error_code&) override {}

  int maxFields_;
  int fields_ = 0;
};

// What the routes answer: a complete response, or (stream) the start of the event stream.
struct Reply {
  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool stream = false;
};

// Where one event stream is: what it has been sent so far.
struct StreamCursor {
  std::string page;  // the page the stream is for (Controls::pageState)
  std::uint64_t sentVersion = 0;
  std::uint64_t sentSerial = 0;
  bool started = false;
};

struct Connection;

struct Server::Impl {
  std::unique_ptr<StateSource> source;
  JobInfo job;
  Controls controls;
  ServerOptions options;
  std::string token;
  std::string page;
  std::string planJson;  // GET /plan; empty: 404
  int port = -1;

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

  // The event loop (connection.cpp): one thread serves every connection, so no client can hold
  // a worker; everything below is touched only on that thread.
  boost::asio::io_context io{1};
  boost::asio::ip::tcp::acceptor acceptor{io};
  std::thread loop;
  std::thread sampler;
  std::list<std::shared_ptr<Connection>> connections;  // in the order they were accepted
  int maxConnections = 0;
  PeerOwner peerOwner;  // whose each new connection is: the job's own user or another
  int reserveFd = -1;   // given up to accept (and close) one connection when descriptors run out
  boost::asio::steady_timer acceptRetry{io};

  // server.cpp
  void Sample();
  Reply Respond(const Request& request);
  // The next piece of an event stream: empty when there is nothing new; `done` when the stream
  // has said its last word.
  std::string NextChunk(StreamCursor& cursor, bool& done);

  // connection.cpp
  bool Listen(std::string& error);
  void Accept();
  void Admit(boost::asio::ip::tcp::socket socket);
  bool ShedOneConnection();
  void PushStreams();  // on the loop thread: every stream that has something new writes it
  void CloseAll();
};

}  // namespace view

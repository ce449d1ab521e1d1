// Test support for the live view's tests: an HTTP client of a test server with bounded waits (a
// server that hangs fails the case, it does not stop the run) and the token query of its routes.
// Test code only; calls cpp-httplib and the view's server.
#pragma once

#include <httplib.h>

#include <string>

#include "server.h"

namespace test {

// A client of `server` on the loopback address: 2 s to connect, 5 s for an answer.
inline httplib::Client LocalClient(const view::Server& server) {
  httplib::Client client("127.0.0.1", server.Port());
  client.set_read_timeout(5, 0);
  client.set_connection_timeout(2, 0);
  return client;
}

// "?token=..." that lets a request through the server's token check.
inline std::string TokenQuery(const view::Server& server) {
  return "?token=" + server.Token();
}

}  // namespace test

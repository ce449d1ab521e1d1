// The live view's request parser: Beast's HTTP/1.1 parser keeping only what the routes read
// (method, path, token and page, Host, X-Steplink-Token and -Page, Origin, Sec-Fetch-Site) under
// the caps on header bytes, fields and body. Calls only Boost.Beast.
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>

#include "server_impl.h"

namespace view {
namespace {

// %XX decoded ('+' stays: a token never holds one); a bad escape is kept as it is.
std::string PercentDecoded(std::string_view text) {
  auto hex = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  std::string decoded;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '%' && at + 2 < text.size() && hex(text[at + 1]) >= 0 &&
        hex(text[at + 2]) >= 0) {
      decoded += static_cast<char>(hex(text[at + 1]) * 16 + hex(text[at + 2]));
      at += 2;
    } else {
      decoded += text[at];
    }
  }
  return decoded;
}

}  // namespace

RequestParser::RequestParser(std::size_t maxHeaderBytes, int maxFields, std::size_t maxBodyBytes)
    : maxFields_(maxFields) {
  header_limit(static_cast<std::uint32_t>(maxHeaderBytes));
  body_limit(static_cast<std::uint64_t>(maxBodyBytes));
}

void RequestParser::on_request_impl(boost::beast::http::verb, string_view method,
                                    string_view target, int, error_code&) {
  request.method = std::string(method);
  const std::string_view whole(target.data(), target.size());
  const auto question = whole.find('?');
  request.path = PercentDecoded(whole.substr(0, question));
  if (question == std::string_view::npos) return;
  std::string_view query = whole.substr(question + 1);
  // The first token and page parameters count, as a browser's URL has one of each.
  bool tokenSeen = false;
  bool pageSeen = false;
  while (!query.empty() && !(tokenSeen && pageSeen)) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    if (!tokenSeen && pair.rfind("token=", 0) == 0) {
      request.token = PercentDecoded(pair.substr(6));
      tokenSeen = true;
    } else if (!pageSeen && pair.rfind("page=", 0) == 0) {
      request.page = PercentDecoded(pair.substr(5));
      pageSeen = true;
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
}

void RequestParser::on_response_impl(int, string_view, int, error_code& ec) {
  ec = boost::beast::http::error::bad_version;  // a request parser never sees a status line
}

void RequestParser::on_field_impl(boost::beast::http::field name, string_view nameText,
                                  string_view value, error_code& ec) {
  if (++fields_ > maxFields_) {
    ec = boost::beast::http::error::header_limit;
    return;
  }
  using boost::beast::iequals;
  const std::string text(value);
  if (name == boost::beast::http::field::host) {
    if (request.hostCount++ == 0) request.host = text;
  } else if (iequals(nameText, "x-steplink-token")) {
    if (request.headerToken.empty()) request.headerToken = text;
  } else if (iequals(nameText, "x-steplink-page")) {
    if (request.page.empty()) request.page = text;
  } else if (name == boost::beast::http::field::origin) {
    if (!request.hasOrigin) request.origin = text;
    request.hasOrigin = true;
  } else if (iequals(nameText, "sec-fetch-site")) {
    if (!request.hasFetchSite) request.fetchSite = text;
    request.hasFetchSite = true;
  }
}

}  // namespace view

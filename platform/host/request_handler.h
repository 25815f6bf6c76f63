// The HTTP contract of kinoro-host, apart from sockets: one parsed request in,
// one answer out. Login and sessions, host errors, the JSON envelope and raw
// answers (with conditional requests) are decided here.
#ifndef KINORO_PLATFORM_HOST_REQUEST_HANDLER_H_
#define KINORO_PLATFORM_HOST_REQUEST_HANDLER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/body_file.h"
#include "platform/host/dispatcher.h"
#include "platform/host/users_db.h"
#include "platform/host/wire_params.h"

namespace kinoro {
namespace host {

inline constexpr char kEntryPath[] = "/webapi/entry.cgi";
inline constexpr char kAuthApi[] = "VELM.API.Auth";
inline constexpr char kSessionCookie[] = "id";

// Login answers of VELM.API.Auth beside the host errors.
enum AuthError {
  kErrorBadLogin = 400,  // no such account or wrong password
  kErrorLocked = 407,    // too many failed logins; try later
};

struct HttpRequest {
  std::string method;  // "GET", "POST", ...
  std::string path;    // without the query
  std::string query;   // raw, still percent-encoded
  std::string body;    // POST body
  std::string content_type;
  std::string cookie;         // the Cookie header
  std::string if_none_match;  // the If-None-Match header
  // The TCP peer's address ("192.0.2.1", "2001:db8::1"); login counters are
  // kept per client. Headers such as X-Forwarded-For are never trusted for it.
  std::string client;
};

struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  SharedBodyFile body_file;  // the body instead of `body`, when it is in a file
  // For the access log.
  std::string api;
  std::string api_method;
  int error_code = 0;  // the envelope's error, 0 for success and raw answers
};

struct HandlerOptions {
  size_t max_params = 256;
  bool secure_cookies = false;  // the host is behind TLS: the cookie says Secure
};

// Where a request goes before any session or module is involved.
enum class Route {
  kAnswered,  // refused or settled by its form alone; the answer is filled in
  kAuth,      // VELM.API.Auth: login and logout
  kModule,    // a module call (the session is checked with it)
};

// Decides the route of `request` from its path, method and parameters:
// 404, 400, 405 (a login not sent by POST) and 415 are answered here. For the
// other routes `answer` only names the call (api, api_method) for the logs.
Route RouteRequest(const HttpRequest& request, const HandlerOptions& options, HttpResponse* answer);

class RequestHandler {
 public:
  using Clock = std::function<int64_t()>;  // seconds since the epoch

  // Neither pointer is owned. `clock` defaults to the system clock.
  RequestHandler(Dispatcher* dispatcher, UsersDb* users, const SessionPolicy& policy,
                 const HandlerOptions& options = HandlerOptions(), Clock clock = nullptr);

  // The whole contract, whatever the route.
  HttpResponse Handle(const HttpRequest& request);

 private:
  HttpResponse HandleAuth(const std::string& version, const std::string& method,
                          const std::vector<WireParam>& pairs, const std::string& sid,
                          const std::string& client);

  Dispatcher* dispatcher_;
  UsersDb* users_;
  SessionPolicy policy_;
  HandlerOptions options_;
  Clock clock_;
};

// Helpers, exposed for tests.

// The value of cookie `name` in a Cookie header, "" when absent.
std::string FindCookie(const std::string& header, const std::string& name);
// True when an If-None-Match header names `etag` (either may be quoted or
// weak, "W/"), or is "*".
bool EtagMatches(const std::string& if_none_match, const std::string& etag);

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_REQUEST_HANDLER_H_

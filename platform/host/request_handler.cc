#include "platform/host/request_handler.h"

#include <strings.h>
#include <syslog.h>

#include <ctime>
#include <memory>
#include <sstream>
#include <unordered_set>

namespace kinoro {
namespace host {
namespace {

constexpr char kFormType[] = "application/x-www-form-urlencoded";
constexpr char kCookieAttributes[] = "; HttpOnly; SameSite=Strict; Path=/";

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

HttpResponse TextAnswer(int status, const std::string& text) {
  HttpResponse r;
  r.status = status;
  r.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  r.body = text + "\n";
  return r;
}

std::string CompactJson(const Json::Value& value) {
  thread_local std::unique_ptr<Json::StreamWriter> writer = [] {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    // 15 significant digits: a rating stored as 8.7 goes out as 8.7, not as
    // the 17-digit 8.6999999999999993.
    b["precision"] = 15;
    return std::unique_ptr<Json::StreamWriter>(b.newStreamWriter());
  }();
  std::ostringstream out;
  writer->write(value, &out);
  return out.str();
}

HttpResponse EnvelopeAnswer(const Json::Value& envelope) {
  HttpResponse r;
  r.headers.emplace_back("Content-Type", "application/json");
  r.body = CompactJson(envelope);
  if (!envelope["success"].asBool()) r.error_code = envelope["error"]["code"].asInt();
  return r;
}

HttpResponse ErrorAnswer(int code) { return EnvelopeAnswer(Dispatcher::ErrorEnvelope(code)); }

bool IsFormContentType(const std::string& content_type) {
  std::string media = Trim(content_type.substr(0, content_type.find(';')));
  return strcasecmp(media.c_str(), kFormType) == 0;
}

// The opaque part of an entity tag: W/ and the quotes stripped.
std::string OpaqueTag(std::string tag) {
  tag = Trim(tag);
  if (tag.size() >= 2 && (tag[0] == 'W' || tag[0] == 'w') && tag[1] == '/') tag = tag.substr(2);
  if (tag.size() >= 2 && tag.front() == '"' && tag.back() == '"') {
    tag = tag.substr(1, tag.size() - 2);
  }
  return tag;
}

// Headers that belong to the connection or the framing, which the HTTP layer
// sets itself.
bool IsFramingHeader(const std::string& name) {
  return strcasecmp(name.c_str(), "Content-Length") == 0 ||
         strcasecmp(name.c_str(), "Transfer-Encoding") == 0 ||
         strcasecmp(name.c_str(), "Connection") == 0;
}

HttpResponse RawHttpAnswer(const DispatchResult& result, const std::string& if_none_match) {
  HttpResponse r;
  r.status = result.raw.status;
  const std::string* etag = result.raw.FindHeader("ETag");
  bool not_modified = r.status == 200 && etag != nullptr && !if_none_match.empty() &&
                      EtagMatches(if_none_match, *etag);
  if (not_modified) r.status = 304;
  for (const auto& h : result.raw.headers) {
    if (IsFramingHeader(h.first)) continue;
    if (not_modified && strcasecmp(h.first.c_str(), "Content-Type") == 0) continue;
    r.headers.push_back(h);
  }
  if (!not_modified) {
    r.body = result.raw.body;
    r.body_file = result.raw_file;
  }
  return r;
}

}  // namespace

std::string FindCookie(const std::string& header, const std::string& name) {
  size_t pos = 0;
  while (pos < header.size()) {
    size_t semi = header.find(';', pos);
    if (semi == std::string::npos) semi = header.size();
    std::string item = Trim(header.substr(pos, semi - pos));
    pos = semi + 1;
    size_t eq = item.find('=');
    if (eq == std::string::npos || Trim(item.substr(0, eq)) != name) continue;
    std::string value = Trim(item.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return "";
}

bool EtagMatches(const std::string& if_none_match, const std::string& etag) {
  if (Trim(if_none_match) == "*") return true;
  std::string wanted = OpaqueTag(etag);
  size_t pos = 0;
  while (pos <= if_none_match.size()) {
    size_t comma = if_none_match.find(',', pos);
    if (comma == std::string::npos) comma = if_none_match.size();
    std::string candidate = OpaqueTag(if_none_match.substr(pos, comma - pos));
    if (!candidate.empty() && candidate == wanted) return true;
    pos = comma + 1;
  }
  return false;
}

namespace {

// A request whose form has been checked: the host's own parameters apart,
// the module's in order with unique names.
struct ParsedRequest {
  std::string api, version, method, sid_param;
  std::vector<WireParam> module_pairs;
};

// False with `answer` set when the request is refused (or, for a login not
// sent by POST, settled) by its form alone.
bool ParseRequest(const HttpRequest& request, const HandlerOptions& options, ParsedRequest* out,
                  HttpResponse* answer) {
  if (request.path != kEntryPath || (request.method != "GET" && request.method != "POST")) {
    *answer = TextAnswer(404, "not found");
    return false;
  }
  std::vector<WireParam> pairs;
  std::string error;
  if (!DecodeUrlEncoded(request.query, &pairs, &error)) {
    *answer = TextAnswer(400, error);
    return false;
  }
  if (request.method == "POST" && !request.body.empty()) {
    if (!IsFormContentType(request.content_type)) {
      *answer = TextAnswer(415, std::string("the body must be ") + kFormType);
      return false;
    }
    if (!DecodeUrlEncoded(request.body, &pairs, &error)) {
      *answer = TextAnswer(400, error);
      return false;
    }
  }
  if (pairs.size() > options.max_params) {
    *answer = TextAnswer(400, "too many parameters (" + std::to_string(pairs.size()) +
                                  ", at most " + std::to_string(options.max_params) + ")");
    return false;
  }

  std::unordered_set<std::string> seen;
  for (WireParam& p : pairs) {
    if (!seen.insert(p.first).second) {
      *answer = TextAnswer(400, "parameter \"" + p.first.substr(0, 64) + "\" given twice");
      return false;
    }
    if (p.first == "api") {
      out->api = std::move(p.second);
    } else if (p.first == "version") {
      out->version = std::move(p.second);
    } else if (p.first == "method") {
      out->method = std::move(p.second);
    } else if (p.first == "_sid") {
      out->sid_param = std::move(p.second);
    } else {
      out->module_pairs.push_back(std::move(p));
    }
  }
  // A password in a URL ends up in logs and histories; such a login is not
  // even tried.
  if (out->api == kAuthApi && out->method == "login" && request.method != "POST") {
    *answer = TextAnswer(405, "login takes POST");
    answer->headers.emplace_back("Allow", "POST");
    answer->api = out->api;
    answer->api_method = out->method;
    return false;
  }
  return true;
}

}  // namespace

Route RouteRequest(const HttpRequest& request, const HandlerOptions& options,
                   HttpResponse* answer) {
  ParsedRequest parsed;
  if (!ParseRequest(request, options, &parsed, answer)) return Route::kAnswered;
  answer->api = parsed.api;
  answer->api_method = parsed.method;
  return parsed.api == kAuthApi ? Route::kAuth : Route::kModule;
}

RequestHandler::RequestHandler(Dispatcher* dispatcher, UsersDb* users, const SessionPolicy& policy,
                               const HandlerOptions& options, Clock clock)
    : dispatcher_(dispatcher),
      users_(users),
      policy_(policy),
      options_(options),
      clock_(clock ? std::move(clock) : Clock([] { return static_cast<int64_t>(time(nullptr)); })) {
}

HttpResponse RequestHandler::Handle(const HttpRequest& request) {
  ParsedRequest parsed;
  HttpResponse response;
  if (!ParseRequest(request, options_, &parsed, &response)) return response;
  const std::string& api = parsed.api;
  const std::string& method = parsed.method;
  if (api.empty() || parsed.version.empty() || method.empty()) {
    response = ErrorAnswer(kErrorMissingName);
  } else if (api == kAuthApi) {
    std::string sid = FindCookie(request.cookie, kSessionCookie);
    response = HandleAuth(parsed.version, method, parsed.module_pairs,
                          sid.empty() ? parsed.sid_param : sid, request.client);
  } else {
    APIMethodHandler handler = nullptr;
    int version_number = 0;
    int code = dispatcher_->Resolve(api, parsed.version, method, &handler, &version_number);
    UserRecord user;
    int64_t now = clock_();
    std::string cookie_sid = FindCookie(request.cookie, kSessionCookie);
    if (code != 0) {
      response = ErrorAnswer(code);
    } else if (!users_->LookupSession(cookie_sid, now, policy_, &user) &&
               !users_->LookupSession(parsed.sid_param, now, policy_, &user)) {
      response = ErrorAnswer(kErrorNotLoggedIn);
    } else {
      Json::Value params;
      std::string error;
      BuildParams(parsed.module_pairs, &params, &error);  // names are unique by now
      DispatchResult result =
          dispatcher_->Call(api, parsed.version, method, params, user.uid, user.is_admin);
      response = result.is_raw ? RawHttpAnswer(result, request.if_none_match)
                               : EnvelopeAnswer(result.envelope);
    }
  }
  response.api = std::move(parsed.api);
  response.api_method = std::move(parsed.method);
  return response;
}

HttpResponse RequestHandler::HandleAuth(const std::string& version, const std::string& method,
                                        const std::vector<WireParam>& pairs, const std::string& sid,
                                        const std::string& client) {
  if (version != "1") return ErrorAnswer(kErrorBadVersion);
  if (method == "logout") {
    users_->Logout(sid);
    Json::Value ok(Json::objectValue);
    ok["success"] = true;
    HttpResponse r = EnvelopeAnswer(ok);
    r.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=; Max-Age=0" +
                                             kCookieAttributes +
                                             (options_.secure_cookies ? "; Secure" : ""));
    return r;
  }
  if (method != "login") return ErrorAnswer(kErrorNoSuchMethod);

  // Account and password are taken as typed: no JSON conversion.
  const std::string* account = nullptr;
  const std::string* password = nullptr;
  for (const WireParam& p : pairs) {
    if (p.first == "account") account = &p.second;
    if (p.first == "passwd") password = &p.second;
  }
  if (account == nullptr || account->empty()) return ErrorAnswer(kErrorBadLogin);
  static const std::string kEmpty;
  LoginResult login =
      users_->Login(*account, password ? *password : kEmpty, client, clock_(), policy_);
  switch (login.status) {
    case LoginStatus::kOk:
      break;
    case LoginStatus::kBadCredentials:
      return ErrorAnswer(kErrorBadLogin);
    case LoginStatus::kLocked:
      return ErrorAnswer(kErrorLocked);
    case LoginStatus::kError:
      syslog(LOG_ERR, "login: users database: %s", users_->last_error().c_str());
      return ErrorAnswer(kErrorUnexpected);
  }
  Json::Value envelope(Json::objectValue);
  envelope["success"] = true;
  envelope["data"]["sid"] = login.sid;
  HttpResponse r = EnvelopeAnswer(envelope);
  r.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=" + login.sid +
                                           kCookieAttributes +
                                           (options_.secure_cookies ? "; Secure" : ""));
  return r;
}

}  // namespace host
}  // namespace kinoro

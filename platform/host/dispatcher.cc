#include "platform/host/dispatcher.h"

#include <dlfcn.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <exception>

#include "velm/caller.h"
#include "velm/webapi.h"

namespace kinoro {
namespace host {
namespace {

// Strict decimal: an optional "-" and digits only, within int.
bool ParseVersion(const std::string& text, int* out) {
  if (text.empty() || text.size() > 11) return false;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  if (text[0] == '-') v = -v;
  if (v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

// Restores standard output even when the entry function throws.
class CaptureScope {
 public:
  explicit CaptureScope(StdoutCapture* capture) : capture_(capture) {}
  ~CaptureScope() {
    if (capture_->active()) capture_->End();
  }
  std::string End() { return capture_->End(); }
  int TakeFile(size_t* size) { return capture_->TakeFile(size); }

 private:
  StdoutCapture* capture_;
};

// Raw answers' headers are short; a head not ended within this many bytes
// is read with its body as one text.
constexpr size_t kMaxRawHead = 64 * 1024;

// The raw answer in `fd` (`size` bytes, owned): its head alone when the body
// has at least `min_body` bytes and stays in the file (`body`), else the
// whole text.
// A file no longer needed goes to `spare`, for the next large answer.
std::string SplitRawAnswer(int fd, size_t size, size_t min_body,
                           const std::function<void(int fd)>& spare, SharedBodyFile* body) {
  std::string head = ReadFileRange(fd, 0, std::min(size, kMaxRawHead));
  size_t end = head.find("\n\n");
  size_t crlf = head.find("\n\r\n");
  if (crlf != std::string::npos && (end == std::string::npos || crlf < end)) {
    end = crlf + 3;
  } else if (end != std::string::npos) {
    end += 2;
  }
  if (end != std::string::npos && size - end >= min_body) {
    *body = std::make_shared<BodyFile>(fd, end, size - end, spare);
    head.resize(end);
    return head;
  }
  std::string text = head + ReadFileRange(fd, head.size(), size);
  spare(fd);
  return text;
}

}  // namespace

const char* HostErrorText(int code) {
  switch (code) {
    case kErrorUnexpected:
      return "the method failed unexpectedly";
    case kErrorMissingName:
      return "api, version or method missing";
    case kErrorNoSuchApi:
      return "no such API";
    case kErrorNoSuchMethod:
      return "no such method";
    case kErrorBadVersion:
      return "version not supported";
    case kErrorNotLoggedIn:
      return "not logged in or session expired";
    default:
      return "";
  }
}

int DispatchResult::ErrorCode() const {
  if (is_raw) return 0;
  if (envelope["success"].asBool()) return 0;
  return envelope["error"]["code"].asInt();
}

void Dispatcher::DlCloser::operator()(void* handle) const {
  if (handle != nullptr) dlclose(handle);
}

Dispatcher::Dispatcher() = default;
Dispatcher::~Dispatcher() = default;

Json::Value Dispatcher::ErrorEnvelope(int code) {
  Json::Value envelope(Json::objectValue);
  envelope["success"] = false;
  envelope["error"]["code"] = code;
  return envelope;
}

bool Dispatcher::LoadModule(const std::string& path, std::string* error) {
  dlerror();
  std::unique_ptr<void, DlCloser> handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!handle) {
    const char* why = dlerror();
    *error = "cannot load module " + path + ": " + (why != nullptr ? why : "unknown error");
    return false;
  }
  auto get_table =
      reinterpret_cast<GetAPITableFunc>(dlsym(handle.get(), VELM_GET_API_TABLE_SYMBOL));
  if (get_table == nullptr) {
    *error = "module " + path + " exports no " VELM_GET_API_TABLE_SYMBOL;
    return false;
  }
  const APIMethodEntry* table = get_table();
  if (table == nullptr) {
    *error = "module " + path + " returned no method table";
    return false;
  }

  std::map<Key, APIMethodHandler> rows;
  for (const APIMethodEntry* row = table; row->api != nullptr || row->method != nullptr ||
                                          row->handler != nullptr || row->version != 0;
       ++row) {
    if (row->api == nullptr || row->method == nullptr || row->handler == nullptr) {
      *error = "module " + path + " has an incomplete row in its method table";
      return false;
    }
    Key key(row->api, row->version, row->method);
    if (methods_.count(key) != 0 || rows.count(key) != 0) {
      *error = "module " + path + " serves " + row->api + " v" + std::to_string(row->version) +
               " " + row->method + " twice";
      return false;
    }
    rows.emplace(std::move(key), row->handler);
  }
  for (const auto& row : rows) {
    ++versions_[std::get<0>(row.first)][std::get<1>(row.first)];
  }
  methods_.insert(rows.begin(), rows.end());
  modules_.push_back(std::move(handle));
  return true;
}

int Dispatcher::Resolve(const std::string& api, const std::string& version,
                        const std::string& method, APIMethodHandler* handler,
                        int* version_number) const {
  if (api.empty() || version.empty() || method.empty()) return kErrorMissingName;
  auto api_it = versions_.find(api);
  if (api_it == versions_.end()) return kErrorNoSuchApi;
  int v = 0;
  if (!ParseVersion(version, &v) || api_it->second.count(v) == 0) return kErrorBadVersion;
  auto it = methods_.find(Key(api, v, method));
  if (it == methods_.end()) return kErrorNoSuchMethod;
  *handler = it->second;
  *version_number = v;
  return 0;
}

DispatchResult Dispatcher::Call(const std::string& api, const std::string& version,
                                const std::string& method, const Json::Value& params,
                                unsigned int login_uid, bool is_admin) {
  DispatchResult result;
  APIMethodHandler handler = nullptr;
  int version_number = 0;
  int code = Resolve(api, version, method, &handler, &version_number);
  if (code != 0) {
    result.envelope = ErrorEnvelope(code);
    return result;
  }

  VELM::APIRequest request(api, version_number, method, params, login_uid, is_admin);
  VELM::APIResponse response;
  std::string capture_error;
  std::string output;
  bool threw = false;
  {
    CaptureScope scope(&capture_);
    if (!capture_.Begin(&capture_error)) {
      // Without a capture a raw answer would go straight to our own standard
      // output; refuse the call rather than corrupt it.
      syslog(LOG_ERR, "%s v%d %s: cannot capture standard output: %s", api.c_str(), version_number,
             method.c_str(), capture_error.c_str());
      result.envelope = ErrorEnvelope(kErrorUnexpected);
      return result;
    }
    try {
      // The platform libraries scope per-user data by this caller.
      velm::ScopedCaller caller(login_uid, is_admin);
      handler(&request, &response);
    } catch (const std::exception& e) {
      threw = true;
      capture_error = e.what();
    } catch (...) {
      threw = true;
      capture_error = "an exception not derived from std::exception";
    }
    if (!threw && !response.IsOutputEnabled() && raw_file_from_ > 0) {
      size_t size = 0;
      const int fd = scope.TakeFile(&size);
      if (fd >= 0) {
        output = SplitRawAnswer(fd, size, raw_file_from_, capture_.SpareTaker(), &result.raw_file);
      }
    } else {
      output = scope.End();
    }
  }

  if (threw) {
    syslog(LOG_ERR, "%s v%d %s: uncaught exception: %s", api.c_str(), version_number,
           method.c_str(), capture_error.c_str());
    result.envelope = ErrorEnvelope(kErrorUnexpected);
    return result;
  }
  if (!response.IsOutputEnabled()) {
    std::string parse_error;
    if (!ParseCgiAnswer(output, &result.raw, &parse_error)) {
      syslog(LOG_ERR, "%s v%d %s: %s", api.c_str(), version_number, method.c_str(),
             parse_error.c_str());
      result.raw_file.reset();
      result.envelope = ErrorEnvelope(kErrorUnexpected);
      return result;
    }
    result.is_raw = true;
    result.raw_text = std::move(output);
    return result;
  }
  if (!response.IsAnswered()) {
    syslog(LOG_ERR, "%s v%d %s: the method returned without an answer", api.c_str(), version_number,
           method.c_str());
    result.envelope = ErrorEnvelope(kErrorUnexpected);
    return result;
  }
  // Output a method wrote while answering in JSON has no place in the answer.
  result.envelope = response.ToEnvelope();
  return result;
}

}  // namespace host
}  // namespace kinoro

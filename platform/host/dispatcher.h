// Loads API modules and routes one call (api, version, method) to the entry
// function that a module's method table names. Host errors, exceptions and
// raw answers are all turned into a DispatchResult; nothing throws out.
#ifndef KINORO_PLATFORM_HOST_DISPATCHER_H_
#define KINORO_PLATFORM_HOST_DISPATCHER_H_

#include <json/json.h>

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/host/body_file.h"
#include "platform/host/cgi_answer.h"
#include "platform/host/stdout_capture.h"
#include "velm/api_table.h"

namespace kinoro {
namespace host {

// Host error codes of the envelope.
enum HostError {
  kErrorUnexpected = 100,   // an exception reached the host, or no answer
  kErrorMissingName = 101,  // api, version or method missing
  kErrorNoSuchApi = 102,
  kErrorNoSuchMethod = 103,
  kErrorBadVersion = 104,
  kErrorNotLoggedIn = 119,
};

// A short text for a host error code ("no such API"), "" for other codes.
const char* HostErrorText(int code);

struct DispatchResult {
  // A raw answer when the method turned output off and wrote a well-formed
  // CGI answer; otherwise the JSON envelope.
  bool is_raw = false;
  Json::Value envelope;
  RawAnswer raw;
  std::string raw_text;  // the raw answer exactly as written (only its head with
                         // raw_file)
  // With HandOverRawBodiesFrom: a large raw answer's body, left in the file
  // it was written to; raw.body is then empty.
  SharedBodyFile raw_file;

  // 0 on success; the envelope's error code otherwise (0 for raw answers).
  int ErrorCode() const;
};

class Dispatcher {
 public:
  Dispatcher();
  ~Dispatcher();
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // dlopen()s the module (RTLD_NOW | RTLD_LOCAL) and adds its table. False
  // with `error` set when it cannot be loaded, has no GetAPITable, or names a
  // (api, version, method) another loaded module already serves.
  bool LoadModule(const std::string& path, std::string* error);

  // Finds the entry for a call. The version is the wire text; it must be a
  // decimal integer. Returns 0 and sets `handler`, or a host error code:
  // 101 a name is empty, 102 unknown api, 104 no such version of it,
  // 103 no such method in that version.
  int Resolve(const std::string& api, const std::string& version, const std::string& method,
              APIMethodHandler* handler, int* version_number) const;

  // Resolves and runs one call on this thread. Standard output is captured
  // for the length of the call.
  DispatchResult Call(const std::string& api, const std::string& version, const std::string& method,
                      const Json::Value& params, unsigned int login_uid, bool is_admin);

  // See StdoutCapture::SetKeepRedirected: for a process whose standard
  // output is of no use between calls.
  void KeepStdoutCaptured(bool keep) { capture_.SetKeepRedirected(keep); }
  // A raw answer whose body has at least `bytes` bytes keeps its body in the
  // capture file (DispatchResult::raw_file); 0, the default, reads every
  // body into memory.
  void HandOverRawBodiesFrom(size_t bytes) { raw_file_from_ = bytes; }
  // A raw body's file that was handed over and is read by nobody any more:
  // a later large answer is written over its pages.
  void ReuseRawBodyFile(int fd) { capture_.AddSpare(fd); }

  static Json::Value ErrorEnvelope(int code);

 private:
  struct DlCloser {
    void operator()(void* handle) const;
  };
  using Key = std::tuple<std::string, int, std::string>;

  std::vector<std::unique_ptr<void, DlCloser>> modules_;
  std::map<Key, APIMethodHandler> methods_;
  std::map<std::string, std::map<int, int>> versions_;  // api -> version -> rows
  StdoutCapture capture_;
  size_t raw_file_from_ = 0;
};

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_DISPATCHER_H_

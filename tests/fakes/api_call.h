// Runs one entry function of the module the way the host does, for tests.
#ifndef KINORO_TESTS_FAKES_API_CALL_H_
#define KINORO_TESTS_FAKES_API_CALL_H_

#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include <json/json.h>

#include "velm/api_table.h"
#include "velm/webapi.h"

namespace fake {

// Parses a JSON text of test parameters; a test with a malformed literal fails loudly.
inline Json::Value Params(const std::string& text) {
  Json::Value value;
  Json::Reader reader;
  if (!reader.parse(text, value)) throw std::runtime_error("bad test params: " + text);
  return value;
}

struct CallResult {
  bool success = false;
  int error_code = 0;
  Json::Value data;
};

inline CallResult Call(APIMethodHandler handler, const Json::Value& params,
                       unsigned int uid = 1026, bool admin = false) {
  VELM::APIRequest request("test", 1, "test", params, uid, admin);
  VELM::APIResponse response;
  handler(&request, &response);
  CallResult result;
  result.success = response.IsSuccess();
  result.error_code = response.GetErrorCode();
  result.data = response.GetData();
  return result;
}

// What `fn` writes to standard output, captured through a temporary file.
template <typename Fn>
std::string CaptureStdout(Fn fn) {
  std::fflush(stdout);
  char name[] = "/tmp/kinoro-stdout-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  const int saved = dup(1);
  dup2(fd, 1);
  fn();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  char buffer[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) out.append(buffer, n);
  close(fd);
  return out;
}

}  // namespace fake

#endif  // KINORO_TESTS_FAKES_API_CALL_H_

#include "common/json_utils.h"

#include <syslog.h>

#include <fstream>

#include "common/json_reader.h"

namespace LibKinoro {

namespace {

constexpr char kSource[] = "json_utils";
constexpr int kBadParameterLine = 55;
constexpr int kWriteFailedLine = 63;

}  // namespace

bool ReadJsonFromFile(const std::string& path, Json::Value& value) {
  if (path.empty()) return false;
  std::ifstream in(path, std::ios::in);
  if (!in.is_open()) return false;
  const bool ok = velmkr::webapi::ReadJson(in, value);
  in.close();
  return ok;
}

bool WriteJsonToFile(const std::string& path, const Json::Value& value) {
  if (path.empty()) {
    syslog(LOG_ERR, "%s:%d Bad parameter", kSource, kBadParameterLine);
    return false;
  }
  // A failed open only sets the stream's fail state; the check below
  // reports it together with write errors.
  std::ofstream out(path, std::ios::out | std::ios::trunc);
  Json::FastWriter writer;
  out << writer.write(value);
  if (!out.good()) {
    syslog(LOG_ERR, "%s:%d failed to write json file[%s]", kSource, kWriteFailedLine, path.c_str());
    return false;
  }
  // The result covers the hand-over to the stream only: an error that shows
  // when the buffer is flushed at close is not checked.
  return true;
}

}  // namespace LibKinoro

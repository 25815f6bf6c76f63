#include "platform/videodb/conf_edit.h"

#include <errno.h>
#include <fcntl.h>
#include <json/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "kinoro/root.h"

namespace kinoro_db {

namespace {

// Reads `path` as a JSON object. A missing file is `*missing` (and not an
// error) when the caller passes `missing`.
bool ReadObject(const std::string& path, Json::Value* out, bool* missing, std::string* error) {
  std::ifstream in(path);
  if (!in.is_open()) {
    if (errno == ENOENT && missing != nullptr) {
      *missing = true;
      *out = Json::Value(Json::objectValue);
      return true;
    }
    *error = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  if (missing != nullptr) *missing = false;
  Json::CharReaderBuilder builder;
  std::string errors;
  bool parsed = false;
  try {
    parsed = Json::parseFromStream(builder, in, out, &errors);
  } catch (const std::exception& e) {
    errors = e.what();  // nesting beyond the reader's limit
  }
  if (!parsed) {
    *error = path + " is not JSON: " + errors;
    return false;
  }
  if (!out->isObject()) {
    *error = path + " does not hold a JSON object";
    return false;
  }
  return true;
}

// Replaces `path` by `value` in one rename. The new file keeps the mode and
// owner of the one it replaces (a person's file stays theirs), or `mode`
// when there was none.
bool WriteObject(const std::string& path, const Json::Value& value, mode_t mode,
                 std::string* error) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  const std::string text = Json::writeString(builder, value) + "\n";

  struct stat old_stat;
  const bool had_file = stat(path.c_str(), &old_stat) == 0;
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(&temp[0]);
  if (fd < 0) {
    *error = "cannot write beside " + path + ": " + strerror(errno);
    return false;
  }
  bool ok = fchmod(fd, had_file ? (old_stat.st_mode & 07777) : mode) == 0;
  if (ok && had_file && (old_stat.st_uid != getuid() || old_stat.st_gid != getgid())) {
    ok = fchown(fd, old_stat.st_uid, old_stat.st_gid) == 0;
  }
  size_t written = 0;
  while (ok && written < text.size()) {
    ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  const int saved_errno = errno;
  ok = close(fd) == 0 && ok;
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  *error = "cannot write " + path + ": " + strerror(ok ? errno : saved_errno);
  unlink(temp.c_str());
  return false;
}

bool ReadShares(const std::string& conf, Json::Value* root, bool* missing, std::string* error) {
  if (!ReadObject(conf, root, missing, error)) return false;
  if (*missing) (*root)["shares"] = Json::Value(Json::arrayValue);
  if (!(*root)["shares"].isArray()) {
    *error = conf + " has no \"shares\" list";
    return false;
  }
  return true;
}

bool IsShareNamed(const Json::Value& share, const std::string& name) {
  return share.isObject() && share["name"].isString() && share["name"].asString() == name;
}

int Fail(const std::string& error) {
  fprintf(stderr, "kinoro-db: %s\n", error.c_str());
  return 1;
}

int ShareCommand(const std::vector<std::string>& args) {
  std::vector<std::string> rest;
  std::string conf = KINORO_PATH("/etc/velm/shares.conf");
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--conf" && i + 1 < args.size()) {
      conf = args[++i];
    } else {
      rest.push_back(args[i]);
    }
  }
  std::string error;
  if (rest.size() == 3 && rest[0] == "add") {
    return AddShare(conf, rest[1], rest[2], &error) ? 0 : Fail(error);
  }
  if (rest.size() == 2 && rest[0] == "del") {
    return RemoveShare(conf, rest[1], &error) ? 0 : Fail(error);
  }
  return 2;
}

int PluginSettingCommand(const std::vector<std::string>& args) {
  if (args.size() != 5) return 2;
  std::string error;
  return WritePluginSetting(args[0], args[1], args[2], args[3], args[4], &error) ? 0 : Fail(error);
}

}  // namespace

bool AddShare(const std::string& conf, const std::string& name, const std::string& path,
              std::string* error) {
  if (name.empty() || path.empty() || path[0] != '/') {
    *error = "a share needs a name and an absolute path";
    return false;
  }
  Json::Value root;
  bool missing = false;
  if (!ReadShares(conf, &root, &missing, error)) return false;
  Json::Value& shares = root["shares"];
  bool found = false;
  for (Json::Value& share : shares) {
    if (!IsShareNamed(share, name)) continue;
    share["path"] = path;
    found = true;
  }
  if (!found) {
    Json::Value share(Json::objectValue);
    share["name"] = name;
    share["path"] = path;
    shares.append(share);
  }
  return WriteObject(conf, root, 0644, error);
}

bool RemoveShare(const std::string& conf, const std::string& name, std::string* error) {
  Json::Value root;
  bool missing = false;
  if (!ReadShares(conf, &root, &missing, error)) return false;
  if (missing) return true;
  Json::Value kept(Json::arrayValue);
  for (const Json::Value& share : root["shares"]) {
    if (!IsShareNamed(share, name)) kept.append(share);
  }
  if (kept.size() == root["shares"].size()) return true;
  root["shares"] = kept;
  return WriteObject(conf, root, 0644, error);
}

bool WritePluginSetting(const std::string& from, const std::string& to, const std::string& plugin,
                        const std::string& key, const std::string& value, std::string* error) {
  Json::Value root;
  if (!ReadObject(from, &root, nullptr, error)) return false;
  Json::Value& settings = root["settings"];
  if (settings.isNull()) settings = Json::Value(Json::objectValue);
  if (!settings.isObject() || !(settings[plugin].isNull() || settings[plugin].isObject())) {
    *error = from + ": \"settings\" is not an object of objects";
    return false;
  }
  settings[plugin][key] = value;
  // The copy may hold an API key: readable by its owner only.
  return WriteObject(to, root, 0600, error);
}

int RunConfCommand(const std::string& command, const std::vector<std::string>& args) {
  if (command == "share") return ShareCommand(args);
  if (command == "plugin-setting") return PluginSettingCommand(args);
  return -1;
}

}  // namespace kinoro_db

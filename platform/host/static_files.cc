#include "platform/host/static_files.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <vector>

#include "kinoro/root.h"
#include "platform/services/scoped_fd.h"

namespace kinoro {
namespace host {
namespace {

constexpr char kOpenApiPath[] = "/webapi/openapi.json";

// Extension to type; the sentinel row is the type of everything else.
struct TypeRow {
  const char* extension;
  const char* type;
};
constexpr TypeRow kTypes[] = {
    {"html", "text/html; charset=utf-8"},
    {"js", "text/javascript; charset=utf-8"},
    {"mjs", "text/javascript; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"json", "application/json"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"ico", "image/x-icon"},
    {"txt", "text/plain; charset=utf-8"},
    {nullptr, "application/octet-stream"},
};

const char* ContentTypeFor(const std::string& name) {
  size_t dot = name.rfind('.');
  const TypeRow* row = kTypes;
  if (dot != std::string::npos) {
    const char* extension = name.c_str() + dot + 1;
    while (row->extension != nullptr && strcasecmp(row->extension, extension) != 0) ++row;
  } else {
    while (row->extension != nullptr) ++row;
  }
  return row->type;
}

using Fd = velm_services::ScopedFd;

// Every answer from the web folder, errors included, carries these: the
// page runs only its own scripts and styles, is never framed, and leaks no
// address to the sites it links.
void AddHardening(HttpResponse* r) {
  r->headers.emplace_back("Content-Security-Policy", "default-src 'self'");
  r->headers.emplace_back("X-Frame-Options", "DENY");
  r->headers.emplace_back("Referrer-Policy", "no-referrer");
}

HttpResponse Text(int status, const char* text) {
  HttpResponse r;
  r.status = status;
  r.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
  r.body = std::string(text) + "\n";
  AddHardening(&r);
  return r;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

enum class PathForm { kFile, kBad, kNotFound };

// Splits a raw (still percent-encoded) path into decoded names under the
// folder. Dots, slashes, backslashes and NUL are only taken literally: an
// encoded one has no business in a page's address, and refusing it keeps
// any decoder further along from seeing a segment we did not.
PathForm SplitPath(const std::string& raw, std::vector<std::string>* names) {
  if (raw.empty() || raw[0] != '/') return PathForm::kBad;
  if (raw == "/") {
    names->push_back("index.html");
    return PathForm::kFile;
  }
  if (raw == kOpenApiPath) {
    names->push_back("openapi.json");
    return PathForm::kFile;
  }
  // The module's namespace: nothing else there is a file.
  if (raw.compare(0, 8, "/webapi/") == 0) return PathForm::kNotFound;
  size_t pos = 1;
  while (true) {
    size_t slash = raw.find('/', pos);
    std::string name;
    const size_t end = slash == std::string::npos ? raw.size() : slash;
    for (size_t i = pos; i < end; ++i) {
      char c = raw[i];
      if (c == '%') {
        if (i + 2 >= end || HexDigit(raw[i + 1]) < 0 || HexDigit(raw[i + 2]) < 0) {
          return PathForm::kBad;
        }
        c = static_cast<char>(HexDigit(raw[i + 1]) * 16 + HexDigit(raw[i + 2]));
        if (c == '.' || c == '/' || c == '\\' || c == '\0') return PathForm::kBad;
        i += 2;
      } else if (c == '\\') {
        return PathForm::kBad;
      }
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return PathForm::kBad;
      name += c;
    }
    if (name == "." || name == "..") return PathForm::kBad;
    // An empty name is a folder ("//", a trailing "/"); a dot file is
    // nothing the page needs.
    if (name.empty() || name[0] == '.') return PathForm::kNotFound;
    names->push_back(std::move(name));
    if (slash == std::string::npos) return PathForm::kFile;
    pos = slash + 1;
  }
}

}  // namespace

std::string DefaultWebRoot() { return KINORO_PATH("/var/packages/Kinoro/target/web"); }

bool StaticFiles::Claims(const std::string& path) { return path != kEntryPath; }

HttpResponse StaticFiles::Serve(const HttpRequest& request) const {
  if (request.method != "GET" && request.method != "HEAD") {
    HttpResponse r = Text(405, "only GET and HEAD");
    r.headers.emplace_back("Allow", "GET, HEAD");
    return r;
  }
  std::vector<std::string> names;
  PathForm form = SplitPath(request.path, &names);
  if (form == PathForm::kBad) return Text(400, "bad path");
  if (form == PathForm::kNotFound) return Text(404, "not found");

  // Each name is opened without following a symbolic link, relative to the
  // folder opened before it, so nothing the folder holds can point the walk
  // outside it. O_NONBLOCK: opening a FIFO must not hang an HTTP thread.
  Fd dir(open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return Text(404, "not found");
  std::unique_ptr<Fd> parent;
  int at = dir.get();
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    auto next = std::make_unique<Fd>(
        openat(at, names[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next->get() < 0) return Text(404, "not found");
    parent = std::move(next);
    at = parent->get();
  }
  Fd file(openat(at, names.back().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Text(404, "not found");
  }

  // Size, modification time and inode: a file rewritten in place or
  // replaced by another (as the build's copy does) gets a new tag.
  char etag[96];
  snprintf(etag, sizeof etag, "\"%" PRIx64 "-%" PRIx64 "-%" PRIx64 "\"",
           static_cast<uint64_t>(st.st_size),
           static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
               static_cast<uint64_t>(st.st_mtim.tv_nsec),
           static_cast<uint64_t>(st.st_ino));
  HttpResponse r;
  r.headers.emplace_back("ETag", etag);
  // Stored but asked about each time: a new build's page is seen at once,
  // and an unchanged one costs a 304.
  r.headers.emplace_back("Cache-Control", "no-cache");
  AddHardening(&r);
  if (!request.if_none_match.empty() && EtagMatches(request.if_none_match, etag)) {
    r.status = 304;
    return r;
  }
  r.headers.emplace_back("Content-Type", ContentTypeFor(names.back()));
  r.body_file = std::make_shared<BodyFile>(file.Release(), 0, static_cast<uint64_t>(st.st_size));
  return r;
}

}  // namespace host
}  // namespace kinoro

// The web page's files, served by the front itself from one folder: GET and
// HEAD only, typed by extension, revalidated by ETag, and never a byte from
// outside the folder.
#ifndef KINORO_PLATFORM_HOST_STATIC_FILES_H_
#define KINORO_PLATFORM_HOST_STATIC_FILES_H_

#include <string>
#include <utility>

#include "platform/host/request_handler.h"

namespace kinoro {
namespace host {

// The web folder of the build's root.
std::string DefaultWebRoot();

class StaticFiles {
 public:
  // `root` is opened on each request, so a folder that appears or is
  // replaced later is served as it is then.
  explicit StaticFiles(std::string root) : root_(std::move(root)) {}

  // True for the paths answered here: everything but the module's entry
  // point (whose answers stay the request handler's).
  static bool Claims(const std::string& path);

  // The answer to `request`, whose path Claims(). "/" is index.html, and
  // "/webapi/openapi.json" is the folder's openapi.json. A path that could
  // name something outside the folder (a ".." segment; an encoded dot,
  // slash, backslash or NUL) is 400; a missing file, a folder, a dot file
  // and a symbolic link (none is followed below the folder) are 404.
  HttpResponse Serve(const HttpRequest& request) const;

 private:
  std::string root_;
};

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_STATIC_FILES_H_

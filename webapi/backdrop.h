// VELM.Kinoro.Backdrop: a video's backdrop (fan-art) images.
#ifndef KINORO_WEBAPI_BACKDROP_H_
#define KINORO_WEBAPI_BACKDROP_H_

#include <string>

#include "libkinoro/api.h"
#include "webapi/base_api.h"

namespace velmkr {
namespace webapi {

class BackdropAPI : public BaseAPI {
 public:
  BackdropAPI(VELM::APIRequest* request, VELM::APIResponse* response);
  virtual ~BackdropAPI();

  // "add": stores an image from "url" or "sharepath" for the video named by
  // "mapper_id" or by "id" and "type"; queues a backup task and wakes the
  // metadata daemon. Answers {"id": new backdrop id}.
  void Add_v1();
  // "get": writes the newest backdrop as a raw JPEG answer, or a 404 answer.
  void Get_v1();
  // "delete_all": removes every backdrop of the video.
  void Delete_All_v1();

  void Output404NotFound();
  // "%x%x%x%x-..." of the digest's first 16 bytes; "" for a shorter digest.
  std::string CreateCGIETag(const std::string& digest);
};

// Where the image of an "add" comes from.
class FileSource {
 public:
  FileSource(const std::string& url, const std::string& share_path);
  // Removes a downloaded image file.
  ~FileSource();
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // Resolves the image path: a download when there is a url, otherwise the
  // share path made absolute. False when there is no image.
  bool Process(const LibKinoro::db::api::BackdropAPI& backdrop_api);

  const std::string& image_path() const { return image_path_; }
  bool downloaded() const { return downloaded_; }

 private:
  std::string url_;
  std::string share_path_;
  std::string image_path_;
  bool downloaded_;
};

// Which video an "add" is for.
class IDSource {
 public:
  IDSource(int id, const std::string& type, int mapper_id);

  // ProcessMapperID, then ProcessID when that succeeded.
  bool Process(const LibKinoro::db::api::BackdropAPI& backdrop_api);
  bool ProcessMapperID(const LibKinoro::db::api::BackdropAPI& backdrop_api);
  bool ProcessID(const LibKinoro::db::api::BackdropAPI& backdrop_api);

  int id() const { return id_; }
  const std::string& type() const { return type_; }
  int mapper_id() const { return mapper_id_; }

 private:
  int id_;
  std::string type_;
  int mapper_id_;
};

// "/share/path/inside" to the absolute path; "" when the share is unknown or
// the text has no "/" after the share name.
std::string GetFullPath(std::string share_path);

}  // namespace webapi
}  // namespace velmkr

#endif  // KINORO_WEBAPI_BACKDROP_H_

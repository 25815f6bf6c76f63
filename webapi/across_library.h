// VELM.Kinoro.AcrossLibrary: browsing across every library the login user
// may see.
#ifndef KINORO_WEBAPI_ACROSS_LIBRARY_H_
#define KINORO_WEBAPI_ACROSS_LIBRARY_H_

#include "webapi/base_api.h"

namespace velmkr {
namespace webapi {

class AcrossLibraryAPI : public BaseAPI {
 public:
  AcrossLibraryAPI(VELM::APIRequest* request, VELM::APIResponse* response);
  virtual ~AcrossLibraryAPI();

  // "list_movie": {"movies"} across the visible libraries, by the policy
  // "top_rating" (best rated first, "limit" of them) or "tmdb_similar" (the
  // page ["offset", "offset" + "limit") of the movies the metadata plug-ins
  // call similar to movie "id").
  void ListMovie_v1();

  // "list_library": {"total", "libraries"} for the policy "recently_added".
  void ListLibrary_v1();
};

}  // namespace webapi
}  // namespace velmkr

#endif  // KINORO_WEBAPI_ACROSS_LIBRARY_H_

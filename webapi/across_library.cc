#include "webapi/across_library.h"

#include <syslog.h>

#include <string>
#include <vector>

#include "common/additional.h"
#include "common/share_path.h"
#include "libkinoro/api.h"
#include "webapi/apivalidator.h"
#include "webapi/plugin_similar.h"

namespace velmkr {
namespace webapi {

namespace {

const char kSource[] = "across_library";

// Accepted "policy" values of each method, ended by a null entry.
const char* const kLibraryPolicies[] = {"recently_added", nullptr};
const char* const kMoviePolicies[] = {"top_rating", "tmdb_similar", nullptr};

bool IsListed(const char* const* list, const std::string& value) {
  for (int i = 0; list[i] != nullptr; ++i) {
    if (value == list[i]) return true;
  }
  return false;
}

bool StringIsLibraryPolicy(const std::string& value) { return IsListed(kLibraryPolicies, value); }

bool StringIsMoviePolicy(const std::string& value) { return IsListed(kMoviePolicies, value); }

}  // namespace

AcrossLibraryAPI::AcrossLibraryAPI(VELM::APIRequest* request, VELM::APIResponse* response)
    : BaseAPI(request, response) {}

AcrossLibraryAPI::~AcrossLibraryAPI() {}

void AcrossLibraryAPI::ListMovie_v1() {
  const VELM::APIParameter<std::string> policy =
      request_->GetAndCheckString("policy", VELM::PARAM_REQUIRED, StringIsMoviePolicy);
  const VELM::APIParameter<int> offset =
      request_->GetAndCheckInt("offset", VELM::PARAM_OPTIONAL, apivalidator::IntGreaterEqualZero);
  const VELM::APIParameter<int> limit =
      request_->GetAndCheckInt("limit", VELM::PARAM_REQUIRED, apivalidator::IntGreaterEqualZero);
  const VELM::APIParameter<Json::Value> additional =
      request_->GetAndCheckArray("additional", VELM::PARAM_OPTIONAL, nullptr);
  const VELM::APIParameter<int> id =
      request_->GetAndCheckInt("id", VELM::PARAM_OPTIONAL, apivalidator::IntGreaterZero);
  // "additional" is judged by its content below, not by the host's check.
  if (policy.IsInvalid() || offset.IsInvalid() || limit.IsInvalid() || id.IsInvalid()) {
    response_->SetError(120, Json::Value());
    return;
  }

  LibKinoro::db::api::MovieAPI movie_api;
  if (additional.IsSet() && !Kinoro::webapi::ProcessAdditional(additional.Get(), movie_api)) {
    // Switches already turned on do not matter: the query is abandoned.
    syslog(LOG_ERR, "%s:%d bad additional", kSource, 77);
    response_->SetError(101, Json::Value());
    return;
  }
  // Both policies list only what the login user may see.
  if (request_->IsAdmin()) movie_api.is_admin = true;
  movie_api.uid = request_->GetLoginUID();

  std::vector<LibKinoro::db::record::Movie> movies;
  if (policy.Get() == "top_rating") {
    movies = movie_api.ListTopRating(limit.Get());
  } else if (policy.Get() == "tmdb_similar") {
    SimilarAPI similar(id, offset, limit);
    const int code = similar.GetSimilarMovies(movie_api, movies);
    if (code != 0) {
      response_->SetError(code, Json::Value());
      return;
    }
  } else {
    // Unreachable while the validator and the dispatch list the same
    // policies, as in ListLibrary_v1.
    response_->SetError(101, Json::Value());
    return;
  }

  Json::Value list(Json::arrayValue);
  for (const LibKinoro::db::record::Movie& movie : movies) {
    Json::Value object = movie.AsJson();
    // Clients address files by share path; a movie without additional
    // parts gains a null "additional", which the mapping leaves alone.
    Kinoro::webapi::ApplySharePath(object["additional"]);
    list.append(object);
  }
  Json::Value data(Json::objectValue);
  data["movies"] = list;
  response_->SetSuccess(data);
}

void AcrossLibraryAPI::ListLibrary_v1() {
  VELM::APIParameter<std::string> policy =
      request_->GetAndCheckString("policy", VELM::PARAM_REQUIRED, StringIsLibraryPolicy);
  if (policy.IsInvalid()) {
    response_->SetError(120, Json::Value());
    return;
  }

  LibKinoro::db::api::LibraryAPI library_api;
  const unsigned int uid = request_->GetLoginUID();
  const bool admin = request_->IsAdmin();
  library_api.AsUser(uid, admin);

  std::vector<LibKinoro::db::record::Library> libraries;
  if (policy.Get() == "recently_added") {
    libraries = library_api.ListOrderByVideoCTime();
  } else {
    // Unreachable while the validator and the dispatch list the same
    // policies; kept so that a policy added to one list only is caught.
    response_->SetError(101, Json::Value());
    return;
  }

  Json::Value list(Json::arrayValue);
  for (const LibKinoro::db::record::Library& library : libraries) {
    list.append(library.AsJson());
  }
  Json::Value data(Json::objectValue);
  data["total"] = static_cast<Json::UInt>(list.size());
  data["libraries"] = list;
  response_->SetSuccess(data);
}

}  // namespace webapi
}  // namespace velmkr

#include "tests/fakes/fake_videodb.h"

#include <algorithm>

namespace fake {

VideodbWorld& World() {
  static VideodbWorld* world = new VideodbWorld();
  return *world;
}

void ResetWorld() { World() = VideodbWorld(); }

bool NextCallFails() {
  VideodbWorld& w = World();
  ++w.calls;
  return w.fail_at_call > 0 && w.calls == w.fail_at_call;
}

}  // namespace fake

namespace LibKinoro {

std::string GetSharePathByVolPath(const char* vol_path) {
  fake::VideodbWorld& w = fake::World();
  std::string path = vol_path ? vol_path : "";
  w.share_path_calls.push_back(path);
  return w.share_path_by_vol ? w.share_path_by_vol(path) : std::string();
}

namespace db {

namespace {
std::string g_database_path;
}  // namespace

void SetDatabasePath(const std::string& path) { g_database_path = path; }
std::string GetDatabasePath() { return g_database_path; }

namespace api {

using fake::NextCallFails;
using fake::World;

BaseAPI::BaseAPI() = default;
BaseAPI::~BaseAPI() = default;

LibraryAPI::LibraryAPI() = default;
LibraryAPI::~LibraryAPI() = default;

void LibraryAPI::AsUser(unsigned int user, bool admin) {
  uid = user;
  is_admin = admin;
  World().as_user_calls.emplace_back(user, admin);
}

std::vector<record::Library> LibraryAPI::ListOrderByVideoCTime() const {
  if (NextCallFails()) return {};
  return World().libraries;
}

AbstractVideoAPI::AbstractVideoAPI() = default;
AbstractVideoAPI::~AbstractVideoAPI() = default;
BaseVideoAPI::BaseVideoAPI() = default;
BaseVideoAPI::~BaseVideoAPI() = default;

BaseVideoAPI& BaseVideoAPI::WithCoverRule(const std::string& rule) {
  cover_rule_ = rule;
  World().with_cover_rule_calls.push_back(rule);
  return *this;
}

VideoAPI::VideoAPI() = default;
VideoAPI::~VideoAPI() = default;
EpisodeAPI::EpisodeAPI() = default;
EpisodeAPI::~EpisodeAPI() = default;
MovieAPI::MovieAPI() = default;
MovieAPI::~MovieAPI() = default;
CollectionAPI::CollectionAPI() = default;
CollectionAPI::~CollectionAPI() = default;

namespace {
void Snapshot(const MovieAPI& api, const std::string& call) {
  fake::VideoQuerySnapshot s;
  s.call = call;
  s.is_admin = api.is_admin;
  s.uid = api.uid;
  s.with_summary = api.with_summary;
  s.with_poster_mtime = api.with_poster_mtime;
  s.with_file = api.with_file;
  s.with_actor = api.with_actor;
  s.cover_rule = api.cover_rule();
  World().video_queries.push_back(s);
}
}  // namespace

std::vector<record::Movie> MovieAPI::ListTopRating(int limit) const {
  Snapshot(*this, "ListTopRating");
  World().top_rating_limits.push_back(limit);
  if (NextCallFails()) return {};
  std::vector<record::Movie> out = World().top_rating;
  if (limit < 0) limit = 0;
  if (out.size() > static_cast<size_t>(limit)) out.resize(limit);
  return out;
}

record::Movie MovieAPI::GetInfo(int id) const {
  Snapshot(*this, "GetInfo");
  if (NextCallFails()) return record::Movie();
  auto it = World().movies_by_id.find(id);
  return it == World().movies_by_id.end() ? record::Movie() : it->second;
}

int MovieAPI::GetNumMoviesWithTMDbID() const {
  Snapshot(*this, "GetNumMoviesWithTMDbID");
  if (NextCallFails()) return 0;
  return World().num_movies_with_tmdb;
}

std::vector<record::Movie> MovieAPI::ListInTMDb(const std::vector<long long>& tmdb_ids) const {
  Snapshot(*this, "ListInTMDb");
  World().list_in_tmdb_calls.push_back(tmdb_ids);
  if (NextCallFails()) return {};
  std::vector<record::Movie> out;
  for (long long tmdb : tmdb_ids) {
    for (const record::Movie& m : World().tmdb_movies) {
      if (m.tmdb_id == tmdb) out.push_back(m);
    }
  }
  return out;
}

BackdropAPI::BackdropAPI() = default;
BackdropAPI::~BackdropAPI() = default;

int BackdropAPI::GetMapperID(int id, const std::string& type) const {
  if (NextCallFails()) return -1;
  auto it = World().mapper_ids.find({id, type});
  return it == World().mapper_ids.end() ? -1 : it->second;
}

std::pair<int, std::string> BackdropAPI::GetIDTypeFromMapperID(int mapper_id) const {
  if (NextCallFails()) return {-1, ""};
  auto it = World().id_types.find(mapper_id);
  return it == World().id_types.end() ? std::make_pair(-1, std::string()) : it->second;
}

std::string BackdropAPI::DownloadImage(const std::string& url) const {
  if (NextCallFails()) return "";
  auto it = World().downloads.find(url);
  return it == World().downloads.end() ? std::string() : it->second;
}

int BackdropAPI::Add(int mapper_id, const std::string& path, bool keep_one) const {
  World().add_calls.emplace_back(mapper_id, path, keep_one);
  if (NextCallFails()) return -1;
  return World().add_result;
}

int BackdropAPI::DeleteAll(int mapper_id) const {
  World().delete_all_calls.push_back(mapper_id);
  if (NextCallFails()) return 0;
  return World().delete_all_result;
}

std::string BackdropAPI::GetByMapperID(int mapper_id, std::string& digest) const {
  if (NextCallFails()) return "";
  auto it = World().backdrops.find(mapper_id);
  if (it == World().backdrops.end()) return "";
  digest = it->second.second;
  return it->second.first;
}

OfflineConversionAPI::OfflineConversionAPI(unsigned int scope_uid)
    : scope_uid_(scope_uid), order_(SORT_ASC) {
  World().conversion_scopes.push_back(scope_uid);
}
OfflineConversionAPI::~OfflineConversionAPI() = default;

void OfflineConversionAPI::OrderByCtime(BaseAPI::SortOrder order) {
  order_ = order;
  World().last_order = order;
}

std::vector<record::OfflineConversionTask> OfflineConversionAPI::List() const {
  fake::VideodbWorld& w = World();
  w.conversion_calls.push_back("List");
  w.list_with_poster_mtime = with_poster_mtime;
  w.list_with_file = with_file;
  w.list_with_video = with_video;
  w.list_with_produced_file = with_produced_file;
  w.list_cover_rule = cover_rule;
  if (NextCallFails()) return {};
  std::vector<record::OfflineConversionTask> out;
  for (const auto& t : w.tasks) {
    if (scope_uid_ == 0 || t.uid == scope_uid_) out.push_back(t);
  }
  return out;
}

int OfflineConversionAPI::Create(record::OfflineConversionSetting& setting) const {
  World().conversion_calls.push_back("Create");
  World().created.push_back(setting);
  if (NextCallFails()) return -1;
  return World().create_result;
}

namespace {
bool IdsCall(const char* name, const std::vector<int>& ids) {
  World().conversion_calls.push_back(name);
  World().conversion_ids.push_back(ids);
  if (NextCallFails()) return false;
  return World().conversion_result;
}
}  // namespace

bool OfflineConversionAPI::Delete(const std::vector<int>& ids) const { return IdsCall("Delete", ids); }
bool OfflineConversionAPI::Stop(const std::vector<int>& ids) const { return IdsCall("Stop", ids); }
bool OfflineConversionAPI::Restart(const std::vector<int>& ids) const {
  return IdsCall("Restart", ids);
}
bool OfflineConversionAPI::StopAll() const { return IdsCall("StopAll", {}); }
bool OfflineConversionAPI::RestartAll() const { return IdsCall("RestartAll", {}); }

}  // namespace api
}  // namespace db
}  // namespace LibKinoro

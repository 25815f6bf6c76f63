#include "tests/plugin/tmdb_server.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <map>

#include "common/testing/temp_dir.h"
#include "tests/plugin/plugin_folder.h"

namespace plugin_test {
namespace {

using Args = std::vector<std::pair<std::string, std::string>>;

MHD_Result CollectArg(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<Args*>(cls)->emplace_back(key, value ? value : "");
  return MHD_YES;
}

MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char*, const char*,
                  const char*, size_t*, void**) {
  Args args;
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CollectArg, &args);
  TmdbServer::Reply reply = static_cast<TmdbServer*>(cls)->Answer(url, args);
  MHD_Response* response =
      MHD_create_response_from_buffer(reply.body.size(), reply.body.data(), MHD_RESPMEM_MUST_COPY);
  MHD_add_response_header(response, "Content-Type", "application/json;charset=utf-8");
  MHD_Result result = MHD_queue_response(connection, reply.status, response);
  MHD_destroy_response(response);
  return result;
}

std::string Write(const Json::Value& value) {
  Json::StreamWriterBuilder writer;
  return Json::writeString(writer, value);
}

}  // namespace

TmdbServer::TmdbServer(const std::string& samples_dir, int page_size) : page_size_(page_size) {
  top_rated_ = ParseJson(kinoro_testing::ReadFile(samples_dir + "/tmdb-movie-top-rated.json"));
  details_ = ParseJson(kinoro_testing::ReadFile(samples_dir + "/tmdb-movie-details.json"));
  invalid_key_ = ParseJson(kinoro_testing::ReadFile(samples_dir + "/tmdb-invalid-api-key.json"));
  not_found_ = ParseJson(kinoro_testing::ReadFile(samples_dir + "/tmdb-resource-not-found.json"));
  if (!top_rated_["results"].isArray() || !details_.isObject() || !invalid_key_.isObject() ||
      !not_found_.isObject()) {
    return;
  }
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION, 0,
                             nullptr, nullptr, &Handle, this, MHD_OPTION_SOCK_ADDR, &addr,
                             MHD_OPTION_CONNECTION_TIMEOUT, 30u, MHD_OPTION_END);
  if (daemon_ == nullptr) return;
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : 0;
}

TmdbServer::~TmdbServer() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

std::string TmdbServer::BaseUrl() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/3";
}

std::vector<std::string> TmdbServer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

TmdbServer::Reply TmdbServer::Answer(const std::string& path, const Args& unsorted) {
  Args args = unsorted;
  std::sort(args.begin(), args.end());
  std::map<std::string, std::string> arg(args.begin(), args.end());
  {
    std::string line = path;
    for (size_t i = 0; i < args.size(); ++i) {
      line += (i == 0 ? "?" : "&") + args[i].first + "=" + args[i].second;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(line);
  }
  if (arg["api_key"] != kGoodKey) return {401, Write(invalid_key_)};

  const std::string movie = "/3/movie/";
  const std::string similar = "/similar";
  if (path.compare(0, movie.size(), movie) == 0 && path.size() > movie.size() + similar.size() &&
      path.compare(path.size() - similar.size(), similar.size(), similar) == 0) {
    const std::string id = path.substr(movie.size(), path.size() - movie.size() - similar.size());
    if (id == std::to_string(kFailureBody200)) return {200, Write(invalid_key_)};
    if (id == std::to_string(kNotJson)) return {200, "<html><body>Gateway</body></html>"};
    if (id == std::to_string(kHuge)) {
      return {200, "{\"results\": [], \"padding\": \"" + std::string(3 << 20, 'x') + "\"}"};
    }
    if (id == std::to_string(kTooDeep)) {
      return {200, std::string(1001, '[') + std::string(1001, ']')};
    }
    if (id != std::to_string(details_["id"].asInt64())) return {404, Write(not_found_)};
    const Json::Value& all = top_rated_["results"];
    const int total = static_cast<int>(all.size());
    const int pages = (total + page_size_ - 1) / page_size_;
    const int page = std::max(1, std::atoi(arg["page"].c_str()));
    Json::Value body(Json::objectValue);
    body["page"] = page;
    body["results"] = Json::Value(Json::arrayValue);
    for (int i = (page - 1) * page_size_; i < std::min(total, page * page_size_); ++i) {
      body["results"].append(all[i]);
    }
    body["total_pages"] = pages;
    body["total_results"] = total;
    return {200, Write(body)};
  }
  if (path == "/3/search/movie") {
    Json::Value body(Json::objectValue);
    body["page"] = 1;
    body["results"] = Json::Value(Json::arrayValue);
    if (strcasecmp(arg["query"].c_str(), details_["title"].asCString()) == 0) {
      body["results"].append(details_);
    }
    body["total_pages"] = 1;
    body["total_results"] = body["results"].size();
    return {200, Write(body)};
  }
  return {404, Write(not_found_)};
}

}  // namespace plugin_test

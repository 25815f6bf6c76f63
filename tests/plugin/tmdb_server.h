// A stand-in for TMDb's web API on 127.0.0.1 (a free port), answering with
// the recorded TMDb answers:
//   /3/movie/<id>/similar   the recorded top-rated list, cut into pages of
//                           page_size titles, for the known movie ids (the
//                           recorded details' id); the recorded "not found"
//                           answer (HTTP 404) for any other id
//   /3/search/movie         the recorded details as the one hit when "query"
//                           is its title, else no hit
//   any key but kGoodKey    the recorded "invalid API key" answer (HTTP 401)
// and, for faults, a few movie ids with broken answers (see below).
#ifndef KINORO_TESTS_PLUGIN_TMDB_SERVER_H_
#define KINORO_TESTS_PLUGIN_TMDB_SERVER_H_

#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

struct MHD_Daemon;

namespace plugin_test {

class TmdbServer {
 public:
  static constexpr char kGoodKey[] = "good-key";
  // Movie ids whose similar list is broken in one way each.
  static constexpr int kFailureBody200 = 9001;  // HTTP 200 with {"success": false, ...}
  static constexpr int kNotJson = 9002;         // HTTP 200 with an HTML page
  static constexpr int kHuge = 9003;            // HTTP 200 with 3 MiB of JSON
  static constexpr int kTooDeep = 9004;         // HTTP 200 nested past the JSON reader's limit

  // Loads the recorded answers from `samples_dir`; ok() is false when they
  // are missing or no port could be bound.
  TmdbServer(const std::string& samples_dir, int page_size);
  ~TmdbServer();
  TmdbServer(const TmdbServer&) = delete;
  TmdbServer& operator=(const TmdbServer&) = delete;

  bool ok() const { return daemon_ != nullptr; }
  std::string BaseUrl() const;  // "http://127.0.0.1:PORT/3"
  const Json::Value& top_rated() const { return top_rated_; }
  const Json::Value& details() const { return details_; }

  // "path?name=value&..." of every request so far, arguments sorted by name.
  std::vector<std::string> Requests();

  // Used by the request handler.
  struct Reply {
    unsigned status;
    std::string body;
  };
  Reply Answer(const std::string& path,
               const std::vector<std::pair<std::string, std::string>>& args);

 private:
  Json::Value top_rated_;
  Json::Value details_;
  Json::Value invalid_key_;
  Json::Value not_found_;
  int page_size_;
  MHD_Daemon* daemon_ = nullptr;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

}  // namespace plugin_test

#endif  // KINORO_TESTS_PLUGIN_TMDB_SERVER_H_

// The real module behind kinoro-host, serving the sample library: every
// method of every API with good and bad parameters. Each JSON answer is
// recorded (KINORO_ANSWER_LOG), so that tests/schema checks every answer
// shape and most error codes against web/openapi.json.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/http/host_process.h"

namespace kinoro {
namespace http_test {
namespace {

const char kDatabase[] = KINORO_ROOT "/var/packages/Kinoro/var/kinoro.db";
const char kShares[] = KINORO_ROOT "/etc/velm/shares.conf";
const char kQueue[] = KINORO_ROOT "/var/spool/velm_video_metadata.queue";

// The root's files that the test replaces, put back as they were when it
// ends: a person's own library and shares in this root stay theirs.
class RootFilesAside {
 public:
  RootFilesAside() {
    for (std::string path :
         {std::string(kDatabase), std::string(kDatabase) + "-wal", std::string(kDatabase) + "-shm",
          std::string(kShares), std::string(kQueue)}) {
      std::string aside = dir_.File("aside" + std::to_string(paths_.size()));
      paths_.push_back(path);
      moved_.push_back(rename(path.c_str(), aside.c_str()) == 0);
    }
  }
  ~RootFilesAside() {
    for (size_t i = 0; i < paths_.size(); ++i) {
      unlink(paths_[i].c_str());
      if (moved_[i]) rename(dir_.File("aside" + std::to_string(i)).c_str(), paths_[i].c_str());
    }
  }

 private:
  TempDir dir_;
  std::vector<std::string> paths_;
  std::vector<bool> moved_;
};

// Percent-encodes a parameter value.
std::string Encode(const std::string& text) {
  char* encoded = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
  const std::string out = encoded;
  curl_free(encoded);
  return out;
}

// Recorded answers of the module's APIs (other tests record only the host's).
size_t CountModuleAnswers(const std::string& path) {
  const std::string text = ReadFile(path);
  const std::string mark = R"("api":"VELM.Kinoro.)";
  size_t n = 0;
  for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) ++n;
  return n;
}

constexpr int kRaw = -1;  // not a JSON answer

class ApiReferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string err;
    const std::string db = KINORO_BINARY_DIR "/kinoro-db";
    ASSERT_EQ(0, RunProgram({db, "init"}, "", &err)) << err;
    ASSERT_EQ(0, RunProgram({db, "import", KINORO_BINARY_DIR "/sample/library.json"}, "", &err))
        << err;
    ASSERT_TRUE(kinoro_testing::WriteFile(
        kShares, R"({"shares": [{"name": "media", "path": "/volume1/media"},
                               {"name": "pictures", "path": ")" KINORO_BINARY_DIR
                 R"(/sample/images"}]})"));
    ASSERT_TRUE(host_.AddUser("admin", 1024, "admin pass", true));
    ASSERT_TRUE(host_.Start({"--module", KINORO_BINARY_DIR "/libkinoro_webapi.so"})) << host_.Log();
  }
  void TearDown() override {
    std::string log = host_.Log();
    for (const char* fault : {"Sanitizer", "runtime error:"})
      EXPECT_EQ(log.find(fault), std::string::npos) << log;
  }

  RootFilesAside aside_;  // put back after the host has stopped
  HostProcess host_;
  HttpClient client_;
};

TEST_F(ApiReferenceTest, EveryMethodAnswersAsDocumented) {
  const char* log = getenv("KINORO_ANSWER_LOG");
  const size_t recorded_before = log ? CountModuleAnswers(log) : 0;

  HttpOptions post;
  post.method = "POST";
  post.body = "api=VELM.API.Auth&version=1&method=login&account=admin&passwd=admin+pass";
  HttpResult login = client_.Fetch(host_.Url(""), post);
  ASSERT_EQ(0, login.ErrorCode()) << login.body;
  const std::string sid = login.Json()["data"]["sid"].asString();

  HttpResult top = client_.Fetch(
      host_.Url("api=VELM.Kinoro.AcrossLibrary&version=1&method=list_movie&policy=top_rating"
                "&limit=1&_sid=" +
                sid));
  const Json::Value first = top.Json()["data"]["movies"][0];
  ASSERT_TRUE(first.isObject()) << top.body;
  const std::string id = std::to_string(first["id"].asInt());
  const std::string mapper = std::to_string(first["mapper_id"].asInt());
  const std::string every_part =
      Encode(R"(["summary","poster_mtime","backdrop_mtime","file","collection","watched_ratio",)"
             R"("conversion_produced","actor","director","writer","genre","extra"])");

  const std::string kList = "api=VELM.Kinoro.AcrossLibrary&version=1&method=";
  const std::string kBackdrop = "api=VELM.Kinoro.Backdrop&version=1&method=";
  const std::string kConversion = "api=VELM.Kinoro.OfflineConversion&version=1&method=";
  struct Row {
    bool post;
    bool session;
    std::string params;
    long status;
    int code;  // 0 success, an error code, or kRaw
  } rows[] = {
      {false, true, kList + "list_library&policy=recently_added", 200, 0},
      {true, true, kList + "list_library&policy=recently_added", 200, 0},
      {false, true, kList + "list_library", 200, 120},
      {false, true, kList + "list_library&policy=top_rating", 200, 120},
      {false, true, kList + "list_movie&policy=top_rating&limit=3&additional=" + every_part, 200,
       0},
      {true, true, kList + "list_movie&policy=top_rating&limit=0", 200, 0},
      {false, true, kList + "list_movie&policy=top_rating", 200, 120},
      {false, true, kList + "list_movie&policy=top_rating&limit=-1", 200, 120},
      {false, true,
       kList + "list_movie&policy=top_rating&limit=2&additional=" + Encode(R"(["file",1])"), 200,
       101},
      {false, true,
       kList + "list_movie&policy=tmdb_similar&limit=3&offset=1&id=" + id +
           "&additional=" + Encode(R"(["genre","extra"])"),
       200, 0},
      {false, true, kList + "list_movie&policy=tmdb_similar&limit=3&id=999999", 200, 101},
      {false, true, kList + "list_movie&policy=tmdb_similar&limit=3", 200, 120},
      {true, true, kBackdrop + "add&sharepath=/pictures/alien-poster.jpg&mapper_id=" + mapper, 200,
       0},
      {true, true, kBackdrop + "add&url=&mapper_id=" + mapper, 200, 120},
      {false, true, kBackdrop + "add&mapper_id=" + mapper, 200, 117},
      {false, true, kBackdrop + "add&sharepath=/pictures/alien-poster.jpg&id=1&type=Movie", 200,
       120},
      {false, true, kBackdrop + "add&sharepath=/pictures/alien-poster.jpg&id=999999&type=movie",
       200, 117},
      {false, true, kBackdrop + "add&sharepath=/pictures/none.jpg&mapper_id=" + mapper, 200, 117},
      {false, true, kBackdrop + "get&mapper_id=" + mapper, 200, kRaw},
      {false, true, kBackdrop + "get&mapper_id=0", 404, kRaw},
      {false, false, kBackdrop + "get&mapper_id=" + mapper, 200, 119},
      {true, true, kBackdrop + "delete_all&mapper_id=" + mapper, 200, 0},
      {false, true, kBackdrop + "delete_all", 200, 120},
      {false, true, kBackdrop + "get&mapper_id=" + mapper, 404, kRaw},
      {false, true, kBackdrop + "rotate", 200, 103},
      {false, true, "api=VELM.Kinoro.Backdrop&version=2&method=get", 200, 104},
      {false, false, kList + "list_library&policy=recently_added", 200, 119},
      {false, true, kConversion + "list&additional=" + Encode(R"(["video"])"), 200, 105},
      {true, true, kConversion + "create&file_id=1&video_profile=high", 200, 105},
      {false, true, kConversion + "create", 200, 105},
      {false, true, kConversion + "delete&id=" + Encode("[1]"), 200, 105},
      {false, true, kConversion + "stop&id=" + Encode("[1]"), 200, 105},
      {false, true, kConversion + "stop_all", 200, 105},
      {false, true, kConversion + "restart&id=" + Encode("[0]"), 200, 105},
      {false, true, kConversion + "restart_all", 200, 105},
      {false, true, "api=VELM.API.Auth&version=1&method=login&account=admin&passwd=x", 405, kRaw},
      {true, true, "api=VELM.API.Auth&version=1&method=logout", 200, 0},
      {false, true, kList + "list_library&policy=recently_added", 200, 119},
  };
  size_t module_answers = 1;  // the top-rated call above
  for (const Row& row : rows) {
    SCOPED_TRACE((row.post ? "POST " : "GET ") + row.params);
    HttpOptions options;
    if (row.session) options.headers = {"Cookie: id=" + sid};
    std::string url = host_.Url(row.post ? "" : row.params);
    if (row.post) {
      options.method = "POST";
      options.body = row.params;
    }
    HttpResult r = client_.Fetch(url, options);
    EXPECT_EQ(row.status, r.status) << r.body;
    if (row.code == kRaw) {
      EXPECT_NE(r.Header("content-type"), "application/json");
      continue;
    }
    if (row.params.compare(0, 16, "api=VELM.Kinoro.") == 0) ++module_answers;
    EXPECT_EQ(r.Header("content-type"), "application/json");
    EXPECT_EQ(row.code, r.ErrorCode()) << r.body;
    if (row.code == 0) {
      EXPECT_TRUE(r.Json()["success"].asBool()) << r.body;
    }
  }
  if (log != nullptr) {
    EXPECT_EQ(recorded_before + module_answers, CountModuleAnswers(log)) << "answers not recorded";
  }
}

}  // namespace
}  // namespace http_test
}  // namespace kinoro

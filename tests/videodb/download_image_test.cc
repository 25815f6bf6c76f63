// BackdropAPI::DownloadImage end to end: the root's videodb.conf decides
// whether the loopback test server may be reached, and a download can be
// stored as a backdrop. Writes under the root, so the binary takes the root
// lock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "kinoro/root.h"
#include "libkinoro/api.h"
#include "platform/videodb/image_store.h"
#include "tests/videodb/local_http_server.h"
#include "tests/videodb/temp_db.h"

namespace {

const char kConfig[] = KINORO_PATH("/var/packages/Kinoro/etc/videodb.conf");

// Replaces the root's videodb.conf for one test and restores it afterwards.
class ScopedConfig {
 public:
  explicit ScopedConfig(const char* text) {
    had_ = LibKinoro::db::internal::ReadWholeFile(kConfig, 1 << 20, &saved_);
    std::string dir = kConfig;
    for (size_t slash = dir.find('/', 1); slash != std::string::npos;
         slash = dir.find('/', slash + 1)) {
      mkdir(dir.substr(0, slash).c_str(), 0755);
    }
    if (text == nullptr) {
      unlink(kConfig);
    } else {
      std::ofstream(kConfig, std::ios::trunc) << text;
    }
  }
  ~ScopedConfig() {
    if (had_) {
      std::ofstream(kConfig, std::ios::trunc) << saved_;
    } else {
      unlink(kConfig);
    }
  }

 private:
  bool had_ = false;
  std::string saved_;
};

TEST(DownloadImageTest, AllowedByConfigThenStoredAsBackdrop) {
  ScopedConfig config(R"({"download": {"allow_private_addresses": true, "timeout_s": 5}})");
  videodb_test::TempDb db;
  ASSERT_EQ(db.Import(R"({"libraries": [{"id": 1}],
                          "movies": [{"id": 1, "library_id": 1, "mapper_id": 9}]})"),
            "");
  videodb_test::LocalHttpServer server(4000);
  ASSERT_TRUE(server.ok());
  LibKinoro::db::api::BackdropAPI api;
  std::string path = api.DownloadImage(server.Url("/image"));
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.rfind(db.dir() + "/download/", 0), 0u);
  EXPECT_GT(api.Add(9, path, true), 0);
  std::string digest;
  EXPECT_EQ(api.GetByMapperID(9, digest), server.image());
}

TEST(DownloadImageTest, LoopbackRefusedWithDefaultSettings) {
  ScopedConfig config(nullptr);
  videodb_test::TempDb db;
  videodb_test::LocalHttpServer server(4000);
  ASSERT_TRUE(server.ok());
  LibKinoro::db::api::BackdropAPI api;
  EXPECT_EQ(api.DownloadImage(server.Url("/image")), "");
}

}  // namespace

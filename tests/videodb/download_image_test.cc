// BackdropAPI::DownloadImage end to end: the root's videodb.conf decides
// whether the loopback test server may be reached, and a download can be
// stored as a backdrop. Writes under the root, so the binary takes the root
// lock.
#include <gtest/gtest.h>

#include <string>

#include "kinoro/root.h"
#include "libkinoro/api.h"
#include "tests/support/temp_dir.h"
#include "tests/videodb/local_http_server.h"
#include "tests/videodb/temp_db.h"

namespace {

TEST(DownloadImageTest, LoopbackOnlyWhenTheConfigAllowsItThenStoredAsBackdrop) {
  // No file: the defaults, which refuse private addresses.
  kinoro_testing::ScopedRootFile config(KINORO_PATH("/var/packages/Kinoro/etc/videodb.conf"));
  videodb_test::TempDb db;
  ASSERT_EQ(db.Import(R"({"libraries": [{"id": 1}],
                          "movies": [{"id": 1, "library_id": 1, "mapper_id": 9}]})"),
            "");
  videodb_test::LocalHttpServer server(4000);
  ASSERT_TRUE(server.ok());
  LibKinoro::db::api::BackdropAPI api;
  EXPECT_EQ(api.DownloadImage(server.Url("/image")), "");

  ASSERT_TRUE(config.Write(R"({"download": {"allow_private_addresses": true, "timeout_s": 5}})"));
  std::string path = api.DownloadImage(server.Url("/image"));
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.rfind(db.dir() + "/download/", 0), 0u);
  EXPECT_GT(api.Add(9, path, true), 0);
  std::string digest;
  EXPECT_EQ(api.GetByMapperID(9, digest), server.image());
}

}  // namespace

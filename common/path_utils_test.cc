#include "common/path_utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/services/share_config.h"
#include "tests/support/temp_dir.h"

namespace {

using kinoro_testing::TempDir;
using kinoro_testing::WriteFile;

TEST(GetFullPathTest, JoinsTheShareRootAndThePathAsGiven) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir.File("shares.conf"),
                        R"({"shares": [{"name": "media", "path": "/volume1/media"}]})"));
  VELMShareSetConfigPath(dir.File("shares.conf"));
  const struct {
    std::string share;
    std::string path;
    const char* expected;
  } cases[] = {
      {"media", "films/a.mkv", "/volume1/media/films/a.mkv"},
      {"media", "", "/volume1/media"},  // the root, no trailing "/"
      {"media", "../../etc/passwd", "/volume1/media/../../etc/passwd"},
      {"Media", "a.mkv", ""},
      // A NUL is refused, not cut at.
      {"media", std::string("a.jpg\0/../../x", 14), ""},
      {std::string("media\0x", 7), "a.jpg", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, VELMKinoro::GetFullPath(c.share, c.path)) << c.share << " " << c.path;
  }
  VELMShareSetConfigPath("");
}

// The existence checks the package's other modules call.
TEST(FileTestsTest, FolderAndNonEmptyRegularFile) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir.File("one"), "x"));
  ASSERT_TRUE(WriteFile(dir.File("empty"), ""));
  EXPECT_TRUE(VELMKinoro::FolderExists(dir.path()));
  EXPECT_FALSE(VELMKinoro::FolderExists(dir.File("one")));
  EXPECT_TRUE(VELMKinoro::IsFileExist(dir.File("one")));
  EXPECT_FALSE(VELMKinoro::IsFileExist(dir.File("empty")));
  EXPECT_FALSE(VELMKinoro::IsFileExist(dir.path()));
}

// A sidecar counts when it is readable and not empty. Root reads anything,
// so the check runs in a child that gave up root: entirely, and only its
// effective ids, as a worker does (its real uid stays root).
TEST(FileTestsTest, UnreadableSidecarWithTheEffectiveIds) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run the check as another user";
  TempDir dir;
  ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
  ASSERT_TRUE(WriteFile(dir.File("private.mkv.krmeta"), "{}"));
  ASSERT_EQ(0, chmod(dir.File("private.mkv.krmeta").c_str(), 0600));
  ASSERT_TRUE(WriteFile(dir.File("public.mkv.krmeta"), "{}"));
  ASSERT_EQ(0, chmod(dir.File("public.mkv.krmeta").c_str(), 0644));
  ASSERT_TRUE(WriteFile(dir.File("empty.mkv.krmeta"), ""));
  for (uid_t real : {static_cast<uid_t>(-1), static_cast<uid_t>(65534)}) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setresgid(real, 65534, real) != 0 || setresuid(real, 65534, real) != 0) _exit(10);
      _exit((VELMKinoro::HasVideoMetaFile(dir.File("private.mkv")) ? 1 : 0) |
            (VELMKinoro::HasVideoMetaFile(dir.File("public.mkv")) ? 0 : 2) |
            (VELMKinoro::HasVideoMetaFile(dir.File("empty.mkv")) ? 4 : 0));
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "real uid " << real
        << ": 1 unreadable sidecar counted, 2 readable one not, 4 empty one counted, 10 no switch";
  }
}

}  // namespace

#include "common/path_utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/testing/temp_dir.h"
#include "platform/services/share_config.h"

namespace {

using kinoro_testing::TempDir;
using kinoro_testing::WriteFile;

TEST(GetFullPathTest, JoinsTheShareRootAndThePath) {
  TempDir dir;
  ASSERT_TRUE(WriteFile(dir.File("shares.conf"), R"({"shares": [
      {"name": "media", "path": "/volume1/media"},
      {"name": "video", "path": "/volume2/video"}]})"));
  VELMShareSetConfigPath(dir.File("shares.conf"));
  struct Case {
    const char* share;
    const char* path;
    const char* expected;
  } cases[] = {
      {"media", "films/a.mkv", "/volume1/media/films/a.mkv"},
      {"video", "b.jpg", "/volume2/video/b.jpg"},
      {"media", "", "/volume1/media"},                           // the root, no trailing "/"
      {"media", "/films/a.mkv", "/volume1/media//films/a.mkv"},  // taken as given
      {"media", "../../etc/passwd", "/volume1/media/../../etc/passwd"},
      {"nosuch", "a.mkv", ""},
      {"Media", "a.mkv", ""},
      {"", "a.mkv", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, VELMKinoro::GetFullPath(c.share, c.path))
        << "share \"" << c.share << "\" path \"" << c.path << "\"";
  }
  // A NUL is refused, not cut at.
  EXPECT_EQ("", VELMKinoro::GetFullPath("media", std::string("a.jpg\0/../../x", 14)));
  EXPECT_EQ("", VELMKinoro::GetFullPath(std::string("media\0x", 7), "a.jpg"));
  VELMShareSetConfigPath(dir.File("missing.conf"));
  EXPECT_EQ("", VELMKinoro::GetFullPath("media", "a.mkv"));
  VELMShareSetConfigPath("");
}

class FileTestsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteFile(dir_.File("one_byte"), "x"));
    ASSERT_TRUE(WriteFile(dir_.File("empty"), ""));
    ASSERT_EQ(0, mkdir(dir_.File("folder").c_str(), 0755));
    ASSERT_EQ(0, symlink(dir_.File("one_byte").c_str(), dir_.File("link_to_file").c_str()));
    ASSERT_EQ(0, symlink(dir_.File("empty").c_str(), dir_.File("link_to_empty").c_str()));
    ASSERT_EQ(0, symlink(dir_.File("folder").c_str(), dir_.File("link_to_folder").c_str()));
    ASSERT_EQ(0, symlink(dir_.File("gone").c_str(), dir_.File("dangling").c_str()));
  }
  TempDir dir_;
};

TEST_F(FileTestsTest, FolderAndFileExistence) {
  struct Case {
    std::string path;
    bool folder;
    bool file;
  } cases[] = {
      {dir_.File("one_byte"), false, true},
      {dir_.File("empty"), false, false},
      {dir_.File("folder"), true, false},
      {dir_.File("link_to_file"), false, true},
      {dir_.File("link_to_empty"), false, false},
      {dir_.File("link_to_folder"), true, false},
      {dir_.File("dangling"), false, false},
      {dir_.File("missing"), false, false},
      {dir_.File("one_byte/below"), false, false},
      {"", false, false},
      {"/dev/null", false, false},  // a device, not a regular file
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.folder, VELMKinoro::FolderExists(c.path)) << c.path;
    EXPECT_EQ(c.file, VELMKinoro::IsFileExist(c.path)) << c.path;
  }
}

TEST_F(FileTestsTest, MetaFileIsTheFullNameWithKrmeta) {
  ASSERT_TRUE(WriteFile(dir_.File("a.mkv.krmeta"), "{}"));
  ASSERT_TRUE(WriteFile(dir_.File("b.krmeta"), "{}"));  // extension replaced: not the sidecar
  ASSERT_TRUE(WriteFile(dir_.File("c.mkv.krmeta"), ""));
  ASSERT_EQ(0, symlink(dir_.File("a.mkv.krmeta").c_str(), dir_.File("d.mkv.krmeta").c_str()));
  struct Case {
    const char* video;
    bool expected;
  } cases[] = {
      {"a.mkv", true},                     // the video itself does not exist
      {"b.mkv", false}, {"c.mkv", false},  // empty sidecar
      {"d.mkv", true},                     // link to a sidecar
      {"e.mkv", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, VELMKinoro::HasVideoMetaFile(dir_.File(c.video))) << c.video;
  }
}

// Root reads anything, so the unreadable case runs in a child that gave up
// root: entirely, and only its effective ids, as a worker does (its real uid
// stays root, which a check with the real ids would wrongly use).
TEST_F(FileTestsTest, UnreadableMetaFile) {
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));
  ASSERT_TRUE(WriteFile(dir_.File("private.mkv.krmeta"), "{}"));
  ASSERT_EQ(0, chmod(dir_.File("private.mkv.krmeta").c_str(), 0600));
  ASSERT_TRUE(WriteFile(dir_.File("public.mkv.krmeta"), "{}"));
  ASSERT_EQ(0, chmod(dir_.File("public.mkv.krmeta").c_str(), 0644));
  if (getuid() != 0) {
    // Not root: the file's own owner can read it; nothing to compare.
    GTEST_SKIP() << "needs root to run the check as another user";
  }
  for (bool effective_only : {false, true}) {
    SCOPED_TRACE(effective_only ? "effective ids only" : "all ids");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      uid_t real = effective_only ? static_cast<uid_t>(-1) : 65534;
      gid_t real_group = effective_only ? static_cast<gid_t>(-1) : 65534;
      if (setresgid(real_group, 65534, real_group) != 0 || setresuid(real, 65534, real) != 0) {
        _exit(10);
      }
      int code = 0;
      if (VELMKinoro::HasVideoMetaFile(dir_.File("private.mkv"))) code |= 1;
      if (!VELMKinoro::HasVideoMetaFile(dir_.File("public.mkv"))) code |= 2;
      _exit(code);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "1: unreadable sidecar counted, 2: readable one not, "
                                         "10: could not drop root";
  }
}

}  // namespace

#include "platform/videodb/safe_open.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/videodb/temp_db.h"

namespace {

using LibKinoro::db::internal::BeneathMethod;
using LibKinoro::db::internal::OpenBeneath;

// Both ways of opening, the kernel's and the fallback walk, against one
// share with links planted in and out of it.
TEST(OpenBeneathTest, NoLinkAndNoDotDotBelowTheRoot) {
  videodb_test::TempDb db;
  const std::string root = db.dir() + "/share";
  const std::string out = db.dir() + "/outside";
  ASSERT_EQ(0, mkdir(root.c_str(), 0755));
  ASSERT_EQ(0, mkdir(out.c_str(), 0755));
  ASSERT_EQ(0, mkdir((root + "/sub").c_str(), 0755));
  db.WriteFile("share/file.jpg", "file");
  db.WriteFile("share/sub/inner.jpg", "inner");
  db.WriteFile("outside/x.jpg", "outside");
  ASSERT_EQ(0, symlink("file.jpg", (root + "/link_in").c_str()));
  ASSERT_EQ(0, symlink("sub", (root + "/link_dir").c_str()));
  ASSERT_EQ(0, symlink((out + "/x.jpg").c_str(), (root + "/link_out").c_str()));
  ASSERT_EQ(0, symlink(out.c_str(), (root + "/dir_out").c_str()));
  ASSERT_EQ(0, mkfifo((root + "/fifo").c_str(), 0644));

  const struct {
    const char* relative;
    const char* content;  // expected bytes, or null when the open fails
    int error;
  } cases[] = {
      {"file.jpg", "file", 0},
      {"sub/inner.jpg", "inner", 0},
      {"./sub//inner.jpg", "inner", 0},
      {"fifo", "", 0},  // opened without blocking; the caller's fstat refuses it
      {"link_in", nullptr, ELOOP},
      {"link_dir/inner.jpg", nullptr, ELOOP},
      {"link_out", nullptr, ELOOP},
      {"dir_out/x.jpg", nullptr, ELOOP},
      {"../outside/x.jpg", nullptr, EXDEV},
      {"sub/../file.jpg", nullptr, EXDEV},
      {"missing.jpg", nullptr, ENOENT},
      {"file.jpg/x", nullptr, ENOTDIR},
  };
  int root_fd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root_fd, 0);
  for (BeneathMethod method : {BeneathMethod::kOpenat2, BeneathMethod::kWalk}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.relative) +
                   (method == BeneathMethod::kWalk ? " (walk)" : " (openat2)"));
      errno = 0;
      int fd = OpenBeneath(root_fd, c.relative, method);
      if (fd < 0 && errno == ENOSYS) GTEST_SKIP() << "no openat2 on this kernel";
      if (c.content == nullptr) {
        EXPECT_EQ(-1, fd);
        EXPECT_EQ(c.error, errno) << strerror(errno);
        continue;
      }
      ASSERT_GE(fd, 0) << strerror(errno);
      char buf[16] = {};
      ssize_t n = read(fd, buf, sizeof(buf));
      EXPECT_EQ(c.content, std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
      close(fd);
    }
  }
  close(root_fd);
}

}  // namespace

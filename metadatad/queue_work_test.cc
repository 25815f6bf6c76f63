#include "metadatad/queue_work.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/syslog_recorder.h"
#include "tests/support/temp_dir.h"
#include "velm/services.h"

namespace kinoro {
namespace metadatad {
namespace {

std::string Text(const Record& record) { return record.type + ":" + std::to_string(record.id); }

// Records merge by video, in the order first named; every other line is
// dropped with one log line of its own.
TEST(QueueWorkTest, ReadWorkMergesRecordsAndDropsTheRest) {
  kinoro_testing::TempDir dir;
  const std::string work = dir.File("work");
  ASSERT_TRUE(kinoro_testing::WriteFile(
      work,
      "b:movie:12\nb:tvshow_episode:-3\nb:movie:12\nb:Movie:1\nb::1\nb:movie:\nb:movie:1x\n"
      "x:movie:1\nb:movie:-\nb:movie:1234567890123456789\nb:home_video:7\nb:movie:1 \nb:movie"));
  kinoro_testing::ClearSyslog();
  std::vector<std::string> read;
  for (const Record& record : ReadWork(work)) read.push_back(Text(record));
  EXPECT_EQ(std::vector<std::string>({"movie:12", "tvshow_episode:-3", "home_video:7"}), read);
  EXPECT_EQ(9u, kinoro_testing::SyslogLines().size());
  EXPECT_EQ("queue_work:90 dropped a malformed record: b:Movie:1",
            kinoro_testing::SyslogLines()[0].text);
}

// Eight writers append 10,000 records each while the queue is taken over
// and over: every record is taken exactly once, none torn.
TEST(QueueWorkTest, TakingUnderLoadLosesAndTearsNothing) {
  constexpr int kWriters = 8, kRecords = 10000;
  kinoro_testing::TempDir dir;
  const std::string queue = dir.File("q"), work = dir.File("q.work");
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid > 0) continue;
    for (int i = 1; i <= kRecords; ++i) {
      const std::string record = "b:movie:" + std::to_string(w * kRecords + i);
      if (WriteIndexQueue(record.c_str(), queue.c_str()) != 0) _exit(1);
    }
    _exit(0);
  }
  std::map<long long, int> taken;
  int takes = 0;
  kinoro_testing::ClearSyslog();
  auto take = [&] {
    if (TakeQueue(queue, work) != TakeResult::kTaken) return;
    ++takes;
    for (const Record& record : ReadWork(work)) ++taken[record.id];
    unlink(work.c_str());
  };
  for (int done = 0, status = 0; done < kWriters; take()) {
    if (waitpid(-1, &status, WNOHANG) <= 0) continue;
    EXPECT_EQ(0, status);
    ++done;
  }
  take();
  EXPECT_TRUE(kinoro_testing::SyslogLines().empty()) << "a torn record";
  EXPECT_EQ(static_cast<size_t>(kWriters * kRecords), taken.size());
  for (const auto& [id, count] : taken) ASSERT_EQ(1, count) << id;
  EXPECT_GT(takes, 1);
}

}  // namespace
}  // namespace metadatad
}  // namespace kinoro

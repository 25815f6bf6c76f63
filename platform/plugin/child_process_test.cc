#include "platform/plugin/child_process.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace velm_plugin {
namespace {

ChildOptions Shell(const std::string& script, int timeout_ms = 5000) {
  ChildOptions options;
  options.program = "/bin/sh";
  options.args = {"-c", script};
  options.env = {"PATH=/usr/bin:/bin"};
  options.timeout_ms = timeout_ms;
  return options;
}

// Time-outs, oversized output and inherited descriptors are tested through
// the engine (tests/plugin); these are the edges only RunChild sees.
TEST(RunChildTest, ReportsHowTheChildEnded) {
  // Larger than both pipe buffers, so writing and reading must interleave;
  // echoed, exactly the output cap.
  const std::string input = "hello\n" + std::string(3 << 20, 'z');
  const struct {
    const char* script;
    ChildOutcome outcome;
    int exit_code;
    int term_signal;
    std::string out;
    std::string err;
    int timeout_ms = 5000;
    int ignored = 0;  // a signal the host ignores during the run
  } cases[] = {
      {"cat", ChildOutcome::kExited, 0, 0, input, ""},
      {"echo partial; echo broken >&2; kill -KILL $$", ChildOutcome::kSignaled, -1, SIGKILL,
       "partial\n", "broken\n"},
      // A child that does not read its input must not stall or kill the writer.
      {"exec 0<&-; echo done", ChildOutcome::kExited, 0, 0, "done\n", ""},
      // Error output past its cap is dropped, not fatal, also when it is the
      // last stream open.
      {"exec 0<&- >&-; head -c 100000 /dev/zero | tr '\\0' e >&2", ChildOutcome::kExited, 0, 0, "",
       std::string(1000, 'e')},
      // Both streams closed, the child still running.
      {"exec >&- 2>&-; sleep 30", ChildOutcome::kTimedOut, -1, 0, "", "", 300},
      // The host's ignored SIGTERM is not inherited; an ignored SIGCHLD loses
      // the status (success cannot be told from a crash then), not the output.
      {"echo out; kill -TERM $$", ChildOutcome::kSignaled, -1, SIGTERM, "out\n", "", 5000, SIGTERM},
      {"echo out", ChildOutcome::kStatusLost, -1, 0, "out\n", "", 5000, SIGCHLD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    ChildOptions options = Shell(c.script, c.timeout_ms);
    options.output_cap = input.size();
    options.error_cap = 1000;
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    if (c.ignored != 0) sigaction(c.ignored, &ignore, &old);
    ChildResult result = RunChild(options, input);
    if (c.ignored != 0) sigaction(c.ignored, &old, nullptr);
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.term_signal, c.term_signal);
    EXPECT_TRUE(result.out == c.out) << result.out.size() << " bytes out";
    EXPECT_EQ(result.err, c.err);
  }
  int status;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a child was left unreaped";
}

// A daemonised host may run without 0, 1 and 2; the pipes may then land on
// those numbers and must still end up in the right places.
TEST(RunChildTest, MissingStandardDescriptorsInTheParent) {
  int saved[3];
  for (int fd = 0; fd < 3; ++fd) saved[fd] = dup(fd);
  for (int fd = 0; fd < 3; ++fd) close(fd);
  ChildResult result = RunChild(Shell("read line; echo \"out $line\"; echo err >&2"), "x\n");
  for (int fd = 0; fd < 3; ++fd) {
    dup2(saved[fd], fd);
    close(saved[fd]);
  }
  EXPECT_EQ(result.outcome, ChildOutcome::kExited);
  EXPECT_EQ(result.out, "out x\n");
  EXPECT_EQ(result.err, "err\n");
}

// A host worker runs with a user's effective ids and keeps root as its real
// and saved uid (and root's groups). The program must get none of root:
// every id is the effective one, the groups are the user's.
TEST(RunChildTest, RunsAsTheCallersEffectiveUserOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const struct {
    uid_t uid;
    gid_t gid;
    const char* ids;  // real, effective, saved and file-system ids, then the groups
  } cases[] = {
      // nobody: the groups the group database gives it
      {65534, 65534, "Uid: 65534 65534 65534 65534\nGid: 65534 65534 65534 65534\nGroups: 65534\n"},
      // no user entry: its group alone
      {4242, 4343, "Uid: 4242 4242 4242 4242\nGid: 4343 4343 4343 4343\nGroups: 4343\n"},
  };
  const gid_t root_groups[] = {0};
  ASSERT_EQ(0, setgroups(1, root_groups));
  for (const auto& c : cases) {
    ASSERT_EQ(0, setresgid(-1, c.gid, -1));
    ASSERT_EQ(0, setresuid(-1, c.uid, -1));
    ChildResult result =
        RunChild(Shell("grep -E '^(Uid|Gid|Groups):' /proc/self/status | xargs -L1"), "");
    ASSERT_EQ(0, setresuid(-1, 0, -1));
    ASSERT_EQ(0, setresgid(-1, 0, -1));
    EXPECT_EQ(result.out, c.ids) << result.err;
  }
  setgroups(0, nullptr);
}

}  // namespace
}  // namespace velm_plugin

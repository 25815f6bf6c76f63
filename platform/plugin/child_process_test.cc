#include "platform/plugin/child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/testing/temp_dir.h"

namespace velm_plugin {
namespace {

using ::testing::HasSubstr;

ChildOptions Shell(const std::string& script, int timeout_ms = 5000) {
  ChildOptions options;
  options.program = "/bin/sh";
  options.args = {"-c", script};
  options.env = {"PATH=/usr/bin:/bin"};
  options.timeout_ms = timeout_ms;
  return options;
}

void ExpectNoChildLeft() {
  int status;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a child was left unreaped";
}

// Time-outs, oversized output and inherited descriptors are tested through
// the engine (plugin_test.cc); these are the edges only RunChild sees.
TEST(RunChildTest, EchoesLargeInputWithoutDeadlock) {
  // Larger than both pipe buffers, so writing and reading must interleave.
  std::string input(3 << 20, 'x');
  input[12345] = 'y';
  ChildResult result = RunChild(Shell("cat"), input);
  EXPECT_EQ(result.outcome, ChildOutcome::kExited);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(result.out == input);
  ExpectNoChildLeft();
}

struct EndCase {
  const char* name;
  const char* script;
  ChildOutcome outcome;
  int exit_code;
  int term_signal;
  const char* out;
  const char* err;
};

TEST(RunChildTest, ReportsHowTheChildEnded) {
  const EndCase cases[] = {
      {"success", "read line; echo \"got $line\"", ChildOutcome::kExited, 0, 0, "got hello\n", ""},
      {"exit status", "echo partial; echo broken >&2; exit 3", ChildOutcome::kExited, 3, 0,
       "partial\n", "broken\n"},
      {"killed", "kill -KILL $$", ChildOutcome::kSignaled, -1, SIGKILL, "", ""},
      // A child that does not read its input must not stall or kill the writer.
      {"ignores input", "exec 0<&-; echo done", ChildOutcome::kExited, 0, 0, "done\n", ""},
  };
  const std::string input = "hello\n" + std::string(1 << 20, 'z');
  for (const EndCase& c : cases) {
    SCOPED_TRACE(c.name);
    ChildResult result = RunChild(Shell(c.script), input);
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_EQ(result.term_signal, c.term_signal);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
  }
  ExpectNoChildLeft();
}

TEST(RunChildTest, ClosedOutputButStillRunningTimesOut) {
  ChildResult result = RunChild(Shell("exec >&- 2>&-; sleep 30", 300), "");
  EXPECT_EQ(result.outcome, ChildOutcome::kTimedOut);
  ExpectNoChildLeft();
}

TEST(RunChildTest, OutputExactlyAtTheCapIsAccepted) {
  ChildOptions options = Shell("head -c 4096 /dev/zero");
  options.output_cap = 4096;
  ChildResult result = RunChild(options, "");
  EXPECT_EQ(result.outcome, ChildOutcome::kExited);
  EXPECT_EQ(result.out.size(), 4096u);
}

TEST(RunChildTest, ErrorOutputIsTruncatedNotFatal) {
  ChildOptions options = Shell("head -c 100000 /dev/zero | tr '\\0' e >&2; echo ok");
  options.error_cap = 1000;
  ChildResult result = RunChild(options, "");
  EXPECT_EQ(result.outcome, ChildOutcome::kExited);
  EXPECT_EQ(result.out, "ok\n");
  EXPECT_EQ(result.err, std::string(1000, 'e'));
}

TEST(RunChildTest, MissingStandardDescriptorsInTheParent) {
  // A daemonised host may run without 0, 1 and 2; the pipes may then land
  // on those numbers and must still end up in the right places.
  int saved_in = dup(0), saved_out = dup(1), saved_err = dup(2);
  close(0);
  close(1);
  close(2);
  ChildResult result = RunChild(Shell("read line; echo \"out $line\"; echo err >&2"), "x\n");
  dup2(saved_in, 0);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_in);
  close(saved_out);
  close(saved_err);
  EXPECT_EQ(result.outcome, ChildOutcome::kExited);
  EXPECT_EQ(result.out, "out x\n");
  EXPECT_EQ(result.err, "err\n");
}

TEST(RunChildTest, WorkingDirectoryAndIgnoredSignals) {
  kinoro_testing::TempDir dir;
  ChildOptions options = Shell("pwd; kill -TERM $$");
  options.cwd = dir.path();
  // An ignored SIGTERM in the host must not be inherited by the plug-in.
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGTERM, &ignore, &old);
  ChildResult result = RunChild(options, "");
  sigaction(SIGTERM, &old, nullptr);
  EXPECT_EQ(result.out, dir.path() + "\n");
  EXPECT_EQ(result.outcome, ChildOutcome::kSignaled);
  EXPECT_EQ(result.term_signal, SIGTERM);
}

TEST(RunChildTest, IgnoredSigchldLosesTheStatusNotTheOutput) {
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &old);
  ChildResult result = RunChild(Shell("echo out; exit 0"), "");
  sigaction(SIGCHLD, &old, nullptr);
  // Success cannot be told from a crash, so the run does not count as one.
  EXPECT_EQ(result.outcome, ChildOutcome::kStatusLost);
  EXPECT_EQ(result.out, "out\n");
}

// A host worker runs with a user's effective ids and keeps root as its real
// and saved uid (and root's groups unless it changed them). The program
// must get none of root: every id is the effective one, the groups are the
// user's. Needs root to set such ids up.
TEST(RunChildTest, RunsAsTheCallersEffectiveUserOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const struct {
    uid_t uid;
    gid_t gid;
    const char* groups;  // as /proc/<pid>/status lists them
  } cases[] = {
      {65534, 65534, "65534"},  // nobody: the groups the group database gives it
      {4242, 4343, "4343"},     // no user entry: its group alone
  };
  const gid_t root_groups[] = {0};
  ASSERT_EQ(0, setgroups(1, root_groups));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uid);
    ASSERT_EQ(0, setresgid(-1, c.gid, -1));
    ASSERT_EQ(0, setresuid(-1, c.uid, -1));
    ChildResult result = RunChild(Shell("grep -E '^(Uid|Gid|Groups):' /proc/self/status"), "");
    ASSERT_EQ(0, setresuid(-1, 0, -1));
    ASSERT_EQ(0, setresgid(-1, 0, -1));
    ASSERT_EQ(result.outcome, ChildOutcome::kExited) << result.err;
    // Real, effective, saved and file-system ids.
    auto all_four = [](unsigned id) {
      const std::string text = std::to_string(id);
      return text + "\t" + text + "\t" + text + "\t" + text;
    };
    EXPECT_EQ(result.out, "Uid:\t" + all_four(c.uid) + "\nGid:\t" + all_four(c.gid) +
                              "\nGroups:\t" + c.groups + " \n");
  }
  setgroups(0, nullptr);
}

TEST(RunChildTest, ProgramThatCannotRun) {
  kinoro_testing::TempDir dir;
  ASSERT_TRUE(kinoro_testing::WriteFile(dir.File("not-executable"), "#!/bin/sh\necho hi\n"));
  for (const std::string& program : {dir.File("missing"), dir.File("not-executable")}) {
    SCOPED_TRACE(program);
    ChildOptions options;
    options.program = program;
    ChildResult result = RunChild(options, "input");
    EXPECT_EQ(result.outcome, ChildOutcome::kStartFailed);
    EXPECT_THAT(result.err, HasSubstr(program));
    EXPECT_EQ(DescribeOutcome(result), "could not be started");
  }
  ExpectNoChildLeft();
}

}  // namespace
}  // namespace velm_plugin

#include "platform/host/host_options.h"

#include <gtest/gtest.h>

namespace kinoro {
namespace host {
namespace {

// The HTTP tests start kinoro-host with most options; these are the ones
// they leave out.
TEST(HostOptionsTest, OptionsTheServerTestsDoNotUse) {
  CommandLine cmd;
  std::string error;
  ASSERT_TRUE(ParseCommandLine(
      {"--listen", "[::1]:0", "--module", "a.so", "--module", "b.so", "--lockout", "7",
       "--session-idle", "9", "--drain-timeout", "11", "--workers", "2", "--max-workers", "2"},
      &cmd, &error))
      << error;
  EXPECT_EQ(cmd.command, Command::kServe);
  EXPECT_EQ(cmd.server.listen_host, "::1");
  EXPECT_EQ(cmd.server.port, 0);
  EXPECT_EQ(cmd.server.modules, (std::vector<std::string>{"a.so", "b.so"}));
  EXPECT_EQ(cmd.server.policy.lockout_seconds, 7);
  EXPECT_EQ(cmd.server.policy.idle_seconds, 9);
  EXPECT_EQ(cmd.server.drain_timeout_seconds, 11);
  EXPECT_EQ(cmd.server.max_workers, 2);
  // The defaults of the limits that guard against slow or greedy clients.
  EXPECT_EQ(cmd.server.request_timeout_seconds, 10u);
  EXPECT_EQ(cmd.server.max_connections_per_client, 64u);
  EXPECT_FALSE(cmd.server.secure_cookies);
}

TEST(HostOptionsTest, BadCommandLines) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{}, "--listen ADDR:PORT is required"},
      {{"--module", "a.so"}, "--listen"},
      {{"--listen", "127.0.0.1:80"}, "--module"},
      {{"--listen", "127.0.0.1", "--module", "a"}, "ADDR:PORT"},
      {{"--listen", "127.0.0.1:65536", "--module", "a"}, "ADDR:PORT"},
      {{"--listen", "::1:80", "--module", "a"}, "ADDR:PORT"},
      {{"--listen", "127.0.0.1:80", "--module", "a", "--workers", "0"}, "--workers"},
      {{"--listen", "127.0.0.1:80", "--module", "a", "--workers", "2", "--max-workers", "1"},
       "--max-workers must be at least --workers"},
      {{"--listen", "127.0.0.1:80", "--module", "a", "--login-threads", "0"}, "--login-threads"},
      {{"--listen", "127.0.0.1:80", "--module"}, "--module needs a value"},
      {{"--listen", "127.0.0.1:80", "--module", "a", "--bogus"}, "unknown option --bogus"},
      {{"user"}, "add, del or list"},
      {{"user", "rename", "a"}, "unknown user command"},
      {{"user", "add", "alice"}, "--uid"},
      {{"user", "add", "--uid", "5"}, "needs a NAME"},
      {{"user", "add", "al ice", "--uid", "5"}, "not a valid user name"},
      {{"user", "add", "alice", "bob", "--uid", "1"}, "unexpected argument"},
      {{"user", "del", "alice", "--admin"}, "unknown option --admin"},
  };
  for (const Case& c : cases) {
    CommandLine cmd;
    std::string error;
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_FALSE(ParseCommandLine(c.args, &cmd, &error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(HostOptionsTest, UserNamesArePrintableWithoutSpacesUpTo64Bytes) {
  EXPECT_TRUE(IsValidUserName("user@example.x-1_2"));
  EXPECT_TRUE(IsValidUserName(std::string(64, 'a')));
  EXPECT_FALSE(IsValidUserName(std::string(65, 'a')));
  for (const char* bad : {"", "a\tb", "\x7f"}) EXPECT_FALSE(IsValidUserName(bad)) << bad;
}

}  // namespace
}  // namespace host
}  // namespace kinoro

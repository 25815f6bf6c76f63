#include "platform/host/host_options.h"

#include <gtest/gtest.h>

namespace kinoro {
namespace host {
namespace {

TEST(HostOptionsTest, ServerDefaultsAndEveryOption) {
  CommandLine cmd;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({"--listen", "127.0.0.1:5080", "--module", "a.so"}, &cmd, &error))
      << error;
  EXPECT_EQ(cmd.command, Command::kServe);
  EXPECT_EQ(cmd.server.listen_host, "127.0.0.1");
  EXPECT_EQ(cmd.server.port, 5080);
  EXPECT_EQ(cmd.server.workers, 0);
  EXPECT_EQ(cmd.server.users_db, DefaultUsersDb());
  EXPECT_EQ(cmd.server.policy.idle_seconds, 24 * 3600);
  EXPECT_EQ(cmd.server.policy.max_failures, 5);
  EXPECT_EQ(cmd.server.policy.lockout_seconds, 60);
  EXPECT_FALSE(cmd.server.foreground);

  ASSERT_TRUE(ParseCommandLine({"--listen",
                                "[::1]:0",
                                "--module",
                                "a.so",
                                "--module",
                                "b.so",
                                "--workers",
                                "2",
                                "--user",
                                "www",
                                "--foreground",
                                "--users-db",
                                "/t/u.db",
                                "--access-log",
                                "/t/a.log",
                                "--port-file",
                                "/t/port",
                                "--session-idle",
                                "5",
                                "--lockout",
                                "7",
                                "--idle-timeout",
                                "9",
                                "--drain-timeout",
                                "11"},
                               &cmd, &error))
      << error;
  const ServerOptions& s = cmd.server;
  EXPECT_EQ(s.listen_host, "::1");
  EXPECT_EQ(s.port, 0);
  EXPECT_EQ(s.modules, (std::vector<std::string>{"a.so", "b.so"}));
  EXPECT_EQ(s.workers, 2);
  EXPECT_EQ(s.user, "www");
  EXPECT_TRUE(s.foreground);
  EXPECT_EQ(s.users_db, "/t/u.db");
  EXPECT_EQ(s.access_log, "/t/a.log");
  EXPECT_EQ(s.port_file, "/t/port");
  EXPECT_EQ(s.policy.idle_seconds, 5);
  EXPECT_EQ(s.policy.lockout_seconds, 7);
  EXPECT_EQ(s.idle_timeout_seconds, 9u);
  EXPECT_EQ(s.drain_timeout_seconds, 11);
}

TEST(HostOptionsTest, UserCommands) {
  CommandLine cmd;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({"user", "add", "alice", "--uid", "1001", "--admin"}, &cmd, &error))
      << error;
  EXPECT_EQ(cmd.command, Command::kUserAdd);
  EXPECT_EQ(cmd.user.name, "alice");
  EXPECT_EQ(cmd.user.uid, 1001u);
  EXPECT_TRUE(cmd.user.is_admin);
  EXPECT_EQ(cmd.user.users_db, DefaultUsersDb());

  ASSERT_TRUE(ParseCommandLine({"user", "del", "--users-db", "/x.db", "bob"}, &cmd, &error));
  EXPECT_EQ(cmd.command, Command::kUserDel);
  EXPECT_EQ(cmd.user.name, "bob");
  EXPECT_EQ(cmd.user.users_db, "/x.db");

  ASSERT_TRUE(ParseCommandLine({"user", "list"}, &cmd, &error));
  EXPECT_EQ(cmd.command, Command::kUserList);
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
      {{"--listen", "127.0.0.1:-1", "--module", "a"}, "ADDR:PORT"},
      {{"--listen", "::1:80", "--module", "a"}, "ADDR:PORT"},
      {{"--listen", ":80", "--module", "a"}, "ADDR:PORT"},
      {{"--listen", "127.0.0.1:80", "--module", "a", "--workers", "0"}, "--workers"},
      {{"--listen", "127.0.0.1:80", "--module", "a", "--workers", "two"}, "--workers"},
      {{"--listen", "127.0.0.1:80", "--module"}, "--module needs a value"},
      {{"--listen", "127.0.0.1:80", "--module", "a", "--bogus"}, "unknown option --bogus"},
      {{"user"}, "add, del or list"},
      {{"user", "rename", "a"}, "unknown user command"},
      {{"user", "add", "alice"}, "--uid"},
      {{"user", "add", "--uid", "5"}, "needs a NAME"},
      {{"user", "add", "al ice", "--uid", "5"}, "not a valid user name"},
      {{"user", "add", "alice", "--uid", "-1"}, "--uid"},
      {{"user", "add", "alice", "bob", "--uid", "1"}, "unexpected argument"},
      {{"user", "del", "alice", "--admin"}, "unknown option --admin"},
      {{"user", "list", "alice"}, "unexpected argument"},
  };
  for (const Case& c : cases) {
    CommandLine cmd;
    std::string error;
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_FALSE(ParseCommandLine(c.args, &cmd, &error)) << joined;
    EXPECT_NE(error.find(c.says), std::string::npos) << joined << "-> " << error;
  }
}

TEST(HostOptionsTest, UserNames) {
  for (const char* ok : {"a", "alice", "Bob.Smith", "user@example", "x-1_2"}) {
    EXPECT_TRUE(IsValidUserName(ok)) << ok;
  }
  for (const char* bad : {"", " ", "a b", "a\tb", "a\nb", "\x7f"}) {
    EXPECT_FALSE(IsValidUserName(bad)) << bad;
  }
  EXPECT_TRUE(IsValidUserName(std::string(64, 'a')));
  EXPECT_FALSE(IsValidUserName(std::string(65, 'a')));
}

}  // namespace
}  // namespace host
}  // namespace kinoro

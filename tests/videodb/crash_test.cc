// A process killed with SIGKILL in the middle of a large import leaves a
// database that passes integrity_check and holds all of the import or none.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "libkinoro/api.h"
#include "platform/videodb/generator.h"
#include "platform/videodb/importer.h"
#include "platform/videodb/sqlite_db.h"
#include "tests/videodb/temp_db.h"

namespace {

using LibKinoro::db::internal::Connection;
using LibKinoro::db::internal::Importer;
using LibKinoro::db::internal::Statement;

constexpr long long kMovies = 20000;

Json::Value BigDocument() {
  Json::Value doc(Json::objectValue);
  doc["libraries"].append(videodb_test::ParseJson(R"({"id": 1, "public": true})"));
  Json::Value& movies = doc["movies"];
  for (long long i = 1; i <= kMovies; ++i) {
    Json::Value movie = LibKinoro::db::internal::GeneratedMovie(i, kMovies, 9);
    movie["library_id"] = 1;
    movies.append(movie);
  }
  return doc;
}

// Runs the import in a child that reports every 1,000 movies on a pipe and
// kills it with SIGKILL once `reports` arrived. True when it died there.
bool KillImportAfter(const Json::Value& doc, const std::string& dir, int reports) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Connection* conn = Connection::Get();  // the child's own connection
    if (conn == nullptr) _exit(3);
    Importer importer(conn, dir);
    const int out = fds[1];
    importer.SetProgress([out](long long) { (void)!write(out, "p", 1); }, 1000);
    _exit(importer.Begin() && importer.AddDocument(doc) && importer.Commit() ? 0 : 4);
  }
  close(fds[1]);
  int got = 0;
  char c;
  struct pollfd pfd = {fds[0], POLLIN, 0};
  // Bounded: 120 s of silence ends the wait.
  while (got < reports && poll(&pfd, 1, 120000) > 0 && read(fds[0], &c, 1) == 1) ++got;
  kill(pid, SIGKILL);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return got == reports && WIFSIGNALED(status);
}

void ExpectIntactWith(long long movies) {
  // A fresh connection, as the next process would open.
  LibKinoro::db::SetDatabasePath(LibKinoro::db::GetDatabasePath());
  Connection* conn = Connection::Get();
  ASSERT_NE(conn, nullptr);
  Statement check = conn->Prepare("PRAGMA integrity_check");
  ASSERT_TRUE(check.Step());
  EXPECT_EQ(check.ColumnText(0), "ok");
  Statement count =
      conn->Prepare("SELECT (SELECT COUNT(*) FROM movie), (SELECT COUNT(*) FROM mapper)");
  ASSERT_TRUE(count.Step());
  EXPECT_EQ(count.ColumnInt64(0), movies);
  EXPECT_EQ(count.ColumnInt64(1), movies);
}

TEST(CrashTest, KillDuringImportLeavesNoneAndACompleteImportLeavesAll) {
  videodb_test::TempDb db;
  const Json::Value doc = BigDocument();
  ASSERT_TRUE(KillImportAfter(doc, db.dir(), 5)) << "the child was not killed mid-way";
  ExpectIntactWith(0);
  {
    Importer importer(Connection::Get(), db.dir());
    ASSERT_TRUE(importer.Begin() && importer.AddDocument(doc) && importer.Commit())
        << importer.error();
  }
  ExpectIntactWith(kMovies);
}

}  // namespace

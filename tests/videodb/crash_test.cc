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

// Runs the import in a child that reports every 1,000 movies on a pipe.
// With kill_after > 0 the parent kills it with SIGKILL once that many
// reports arrived; the child's exit status otherwise.
int ImportInChild(const Json::Value& doc, const std::string& dir, int kill_after) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Connection* conn = Connection::Get();  // the child's own connection
    if (conn == nullptr) _exit(3);
    Importer importer(conn, dir);
    int out = fds[1];
    importer.SetProgress([out](long long) { (void)!write(out, "p", 1); }, 1000);
    bool ok = importer.Begin() && importer.AddDocument(doc) && importer.Commit();
    _exit(ok ? 0 : 4);
  }
  close(fds[1]);
  int reports = 0;
  // Reads reports until the kill point or the end of the child's output (the
  // child must not meet a closed pipe). Bounded: 120 s of silence ends it.
  while (kill_after == 0 || reports < kill_after) {
    struct pollfd pfd = {fds[0], POLLIN, 0};
    if (poll(&pfd, 1, 120000) <= 0) break;
    char c;
    if (read(fds[0], &c, 1) != 1) break;
    ++reports;
  }
  if (kill_after > 0) kill(pid, SIGKILL);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (kill_after > 0) return reports == kill_after && WIFSIGNALED(status) ? 0 : -1;
  if (!WIFEXITED(status)) ADD_FAILURE() << "child status " << status;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
  ASSERT_EQ(ImportInChild(doc, db.dir(), 5), 0) << "the child was not killed mid-way";
  ExpectIntactWith(0);
  LibKinoro::db::SetDatabasePath(db.db_path());  // the parent does not hold the write lock
  ASSERT_EQ(ImportInChild(doc, db.dir(), 0), 0);
  ExpectIntactWith(kMovies);
}

}  // namespace

// kinoro-call as scripts see it: its output, its error line, its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
  int exit_code = -1;  // -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Outcome RunCall(const std::vector<std::string>& args) {
  char dir_template[] = "/tmp/kinoro-call-test.XXXXXX";
  const char* dir = mkdtemp(dir_template);
  EXPECT_NE(dir, nullptr);
  std::string out_path = std::string(dir) + "/out";
  std::string err_path = std::string(dir) + "/err";
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    std::string bin = KINORO_CALL_BIN;
    argv.push_back(&bin[0]);
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Outcome o;
  if (WIFEXITED(status)) o.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) o.signal = WTERMSIG(status);
  o.out = ReadFile(out_path);
  o.err = ReadFile(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  rmdir(dir);
  return o;
}

std::vector<std::string> Base() { return {"--module", KINORO_TEST_MODULE, "--uid", "1026"}; }

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(KinoroCallTest, PrintsTheEnvelopeOnOneLine) {
  Outcome o = RunCall(With(
      Base(), {"--admin", "Kinoro.Test", "1", "echo", "id=3", "title=Up", "ids=[1,2]", "q=a=b"}));
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.out, R"({"data":{"admin":true,"params":{"id":3,"ids":[1,2],"q":"a=b","title":"Up"},)"
                   R"("uid":1026,"version":1},"success":true})"
                   "\n");
  EXPECT_EQ(o.err, "");
}

TEST(KinoroCallTest, ErrorEnvelopesExitOne) {
  Outcome o = RunCall(With(Base(), {"Kinoro.Test", "1", "fail", "code=117"}));
  EXPECT_EQ(o.exit_code, 1);
  EXPECT_EQ(o.out, "{\"error\":{\"code\":117},\"success\":false}\n");

  o = RunCall(With(Base(), {"Kinoro.Nope", "1", "x"}));
  EXPECT_EQ(o.exit_code, 1);
  EXPECT_EQ(o.out, "{\"error\":{\"code\":102},\"success\":false}\n");
  EXPECT_EQ(o.err, "kinoro-call: no such API\n");

  // The module's log lines reach standard error.
  o = RunCall(With(Base(), {"Kinoro.Test", "1", "throw"}));
  EXPECT_EQ(o.exit_code, 1);
  EXPECT_EQ(o.out, "{\"error\":{\"code\":100},\"success\":false}\n");
  EXPECT_NE(o.err.find("uncaught exception: test module failure"), std::string::npos) << o.err;
}

TEST(KinoroCallTest, RawAnswerIsPrintedAsWritten) {
  Outcome o = RunCall(With(Base(), {"Kinoro.Test", "1", "raw", "status=404", "body=gone"}));
  EXPECT_EQ(o.exit_code, 0) << o.err;
  EXPECT_EQ(o.out, "Status: 404 Test\r\nContent-Type: text/plain\r\nX-Test: raw\r\n\r\ngone");
}

TEST(KinoroCallTest, BadInputIsOneLineOnStandardErrorAndExitTwo) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--uid", "1", "Kinoro.Test", "1", "echo"}, "no --module"},
      {{"--module", KINORO_TEST_MODULE, "Kinoro.Test", "1", "echo"}, "no --uid"},
      {With(Base(), {"--verbose", "Kinoro.Test", "1", "echo"}), "unknown option --verbose"},
      {{"--module", KINORO_TEST_MODULE, "--uid", "-5", "Kinoro.Test", "1", "echo"}, "--uid"},
      {{"--module", KINORO_TEST_MODULE, "--uid"}, "--uid needs a value"},
      {{"--module", "/nonexistent/lib.so", "--uid", "1", "Kinoro.Test", "1", "echo"},
       "/nonexistent/lib.so"},
      {{"--module", KINORO_NOTABLE_MODULE, "--uid", "1", "Kinoro.Test", "1", "echo"},
       "GetAPITable"},
      {With(Base(), {"Kinoro.Test", "1"}), "API, VERSION and METHOD are required"},
      {With(Base(), {"Kinoro.Test", "1", "echo", "novalue"}), "\"novalue\" is not name=value"},
      {With(Base(), {"Kinoro.Test", "1", "echo", "a=1", "a=2"}), "given twice"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    Outcome o = RunCall(c.args);
    EXPECT_EQ(o.exit_code, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    // The error itself is the last line, prefixed with the program's name.
    std::string last = o.err.substr(o.err.rfind("kinoro-call: "));
    EXPECT_EQ(last.find('\n'), last.size() - 1) << o.err;
  }
}

TEST(KinoroCallTest, CrashInTheModuleIsNotASuccess) {
  Outcome o = RunCall(With(Base(), {"Kinoro.Test", "1", "abort"}));
  EXPECT_EQ(o.signal, SIGABRT);
  EXPECT_EQ(o.out, "");
}

}  // namespace

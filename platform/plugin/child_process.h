// Runs one program as a child with a bounded conversation: the input is
// written to its standard input, its standard output and standard error are
// collected up to caps, and the whole exchange has one deadline. The child
// runs in a process group of its own, so that on any end of the run (time-out,
// oversized output, early return) the program and everything it started are
// killed together, and it is always reaped before RunChild returns.
// LineChild keeps such a child for many exchanges of one line each.
#ifndef KINORO_PLATFORM_PLUGIN_CHILD_PROCESS_H_
#define KINORO_PLATFORM_PLUGIN_CHILD_PROCESS_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace velm_plugin {

struct ChildOptions {
  std::string program;            // absolute path, run with execve (no shell, no PATH search)
  std::vector<std::string> args;  // argv[1..]; argv[0] is the program path
  std::vector<std::string> env;   // the child's whole environment, "NAME=value"
  std::string cwd;                // empty: keep the caller's
  int timeout_ms = 10000;         // for the whole exchange, from the fork on
                                  // (LineChild: for each answer, from its request)
  size_t output_cap = 4 << 20;    // more standard output than this fails the run
                                  // (LineChild: one answer line, without its newline)
  size_t error_cap = 64 << 10;    // standard error beyond this is read and dropped
                                  // (LineChild: per exchange)
};

enum class ChildOutcome {
  kExited,          // exit_code holds the status the program exited with
  kSignaled,        // term_signal holds the signal that ended it
  kTimedOut,        // the deadline passed; the group was killed
  kOutputTooLarge,  // standard output passed output_cap; the group was killed
  kStartFailed,     // no child could be made, its ids not set, or execve failed (exit 127)
  kStatusLost,      // the child was reaped elsewhere (SIGCHLD ignored by the host)
};

struct ChildResult {
  ChildOutcome outcome = ChildOutcome::kStartFailed;
  int exit_code = -1;
  int term_signal = 0;
  std::string out;  // standard output, at most output_cap bytes
  std::string err;  // standard error, at most error_cap bytes
};

// Never throws, never leaves a zombie or a member of the child's process
// group behind. The child gets the three standard descriptors and no other,
// default signal dispositions, an empty signal mask and no core dumps. It
// runs as the caller's effective user and group alone: those are its real,
// effective and saved ids, and its groups are that user's (only its group
// when the user has no entry); a caller that keeps root as its real or saved
// uid does not pass root on. A child whose ids cannot be set is not run.
// A child that closes its standard input early is not an error.
ChildResult RunChild(const ChildOptions& options, const std::string& input);

// "exited with status 3", "killed by signal 11", "timed out", ...
std::string DescribeOutcome(const ChildResult& result);

// A child that answers one line on its standard output for each line written
// to its standard input, kept between requests. It is started and confined
// as RunChild's are. Any exchange that does not end in an answer line (a
// time-out, an answer over the cap, the child's end) kills its group and
// reaps it; the object is then empty and can be started again. Never
// throws; one caller at a time. Destroying it kills and reaps the child.
class LineChild {
 public:
  LineChild();
  ~LineChild();
  LineChild(const LineChild&) = delete;
  LineChild& operator=(const LineChild&) = delete;

  // Starts the program (ending any child held before). False with `result`
  // saying why (kStartFailed, the reason in `err`) when it cannot run.
  bool Start(const ChildOptions& options, ChildResult* result);

  bool running() const;

  // Whether the child can take a request: false, after ending and reaping
  // it, when it ended, closed its standard output or wrote to it while no
  // request was open (an answer then would not be this request's).
  bool Ready();

  // Writes `request` (one line with its '\n') and reads one line: true
  // with the line in `result->out`, without its newline (the child is
  // ended after it when it ended too or wrote more than the line). Else the
  // child is ended, `result` says how, and `*unread` says whether it ended
  // without reading any of the request (a crash while idle, not this
  // request's doing). Standard error of the exchange lands in `result->err`.
  bool Exchange(const std::string& request, ChildResult* result, bool* unread);

  // Lets go of the child without a signal or a wait, closing only this
  // process's descriptors: for a process forked from the owner, whose child
  // it is not.
  void Abandon();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velm_plugin

#endif  // KINORO_PLATFORM_PLUGIN_CHILD_PROCESS_H_

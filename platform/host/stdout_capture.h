// Redirects standard output (fd 1 and the stdio and iostream buffers in front
// of it) into an anonymous in-memory file for the length of one module call.
#ifndef KINORO_PLATFORM_HOST_STDOUT_CAPTURE_H_
#define KINORO_PLATFORM_HOST_STDOUT_CAPTURE_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kinoro {
namespace host {

// Bytes [from, to) of a file, fewer when it is shorter or a read fails.
std::string ReadFileRange(int fd, size_t from, size_t to);

class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();  // ends a running capture and restores standard output
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Starts capturing; what was buffered for the old standard output is
  // flushed there first. False (with `error`) when no file or descriptor is
  // available; standard output is then unchanged.
  bool Begin(std::string* error);
  // Flushes and returns everything written since Begin; puts the old
  // standard output back unless it is kept redirected. Calling it without a
  // running capture returns "".
  std::string End();
  // Ends the capture like End, but gives the file itself away instead of
  // reading it: the caller owns the returned descriptor, whose first `size`
  // bytes are the output. The next capture writes to a new file. -1 when no
  // capture runs or no new file can be made (the output is then dropped).
  // The new file is a spare one when there is one.
  int TakeFile(size_t* size);
  // A file taken earlier that nobody else reads any more: a later TakeFile
  // writes over it instead of making a new one. Holds a few; closes the rest.
  void AddSpare(int fd);
  // AddSpare for a holder that may outlive the capture (then it closes).
  std::function<void(int fd)> SpareTaker();

  // A process that never writes to standard output itself (a server worker)
  // can leave fd 1 on the capture file between calls, which saves four
  // system calls per call. Anything written between calls is discarded.
  // Turning it off restores standard output (when no capture is running).
  void SetKeepRedirected(bool keep);
  // Puts the old standard output back now, ending a running capture.
  void Restore();

  bool active() const { return running_; }

 private:
  int file_fd_;  // reused across calls
  // The real standard output while redirected; -2 when fd 1 was closed.
  int saved_fd_;
  bool redirected_;
  bool running_;
  bool keep_redirected_;
  bool dirty_;       // the file holds output of an earlier capture
  long kept_bytes_;  // the file's size: the largest capture since emptied
  std::shared_ptr<std::vector<int>> spares_;

  bool OpenFile(std::string* error);
};

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_STDOUT_CAPTURE_H_

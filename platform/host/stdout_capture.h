// Redirects standard output (fd 1 and the stdio and iostream buffers in front
// of it) into an anonymous in-memory file for the length of one module call.
#ifndef KINORO_PLATFORM_HOST_STDOUT_CAPTURE_H_
#define KINORO_PLATFORM_HOST_STDOUT_CAPTURE_H_

#include <string>

namespace kinoro {
namespace host {

class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();  // ends a capture still running
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Starts capturing; what was buffered for the old standard output is
  // flushed there first. False (with `error`) when no file or descriptor is
  // available; standard output is then unchanged.
  bool Begin(std::string* error);
  // Flushes, puts the old standard output back and returns everything
  // written since Begin. Calling it without a running capture returns "".
  std::string End();

  bool active() const { return saved_fd_ != -1; }

 private:
  int file_fd_;  // reused across calls; emptied at each Begin
  // The real standard output while capturing; -2 when fd 1 was closed, -1
  // when not capturing.
  int saved_fd_;
  bool dirty_;       // the file holds output of an earlier capture
  long kept_bytes_;  // the file's size: the largest capture since emptied
};

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_STDOUT_CAPTURE_H_

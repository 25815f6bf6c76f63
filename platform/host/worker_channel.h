// What travels between kinoro-host's processes. A worker's channel (a stream
// socketpair between the front and one worker) carries one request frame
// down and one answer frame back at a time: a 4-byte big-endian payload
// length, then the payload. The control socket (a SOCK_SEQPACKET pair between
// the supervisor and the front) carries new workers' channels to the front
// as SCM_RIGHTS, and the front's wish for a spare worker back.
#ifndef KINORO_PLATFORM_HOST_WORKER_CHANNEL_H_
#define KINORO_PLATFORM_HOST_WORKER_CHANNEL_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/request_handler.h"

namespace kinoro {
namespace host {

inline constexpr size_t kFrameHeaderBytes = 4;
// A request is bounded by the front's URL, body and header limits; an answer
// by what a module may send (an image is at most a few MB).
inline constexpr size_t kMaxRequestPayload = 4u << 20;
inline constexpr size_t kMaxAnswerPayload = 64u << 20;

// A request frame also gives back the body files of earlier answers that the
// front has sent, by inode number: the worker may write over them again.
inline constexpr size_t kMaxReleasedFiles = 1024;

// Whole frames, length prefix included.
std::string EncodeRequestFrame(const HttpRequest& request,
                               const std::vector<uint64_t>& released = {});
std::string EncodeAnswerFrame(const HttpResponse& response);
// Payloads (without the prefix). False when the payload is not exactly one
// well-formed message.
bool DecodeRequest(const std::string& payload, HttpRequest* out,
                   std::vector<uint64_t>* released = nullptr);
// Where an answer's body lies in the descriptor that came with its frame.
struct AnswerFile {
  bool present = false;
  uint64_t offset = 0;
  uint64_t length = 0;
};
// `file` may be nullptr when no descriptor can come with the frame; an
// answer that announces one then fails.
bool DecodeAnswer(const std::string& payload, HttpResponse* out, AnswerFile* file = nullptr);

// The payload length announced by a frame's first kFrameHeaderBytes bytes.
uint32_t FramePayloadLength(const char* header);

enum class ReadResult { kFrame, kClosed, kError };
// Reads one whole frame's payload, blocking. kClosed when the peer closed the
// channel between frames; kError on a read error, a frame cut short or one
// announcing more than `max_payload` bytes.
ReadResult ReadFrame(int fd, size_t max_payload, std::string* payload);
// Writes all of `bytes`, blocking. False when the peer is gone.
bool WriteAll(int fd, const std::string& bytes);
// Writes an answer frame, with `body_fd` (when not -1) sent along as
// SCM_RIGHTS on its first byte.
bool WriteAnswerFrame(int fd, const std::string& frame, int body_fd);

// One sendmsg() of `data` with `fd` attached (SCM_RIGHTS): the bytes sent, or
// -1. One recvmsg(): `fd` is the descriptor that came with the bytes
// (close-on-exec) or -1, `truncated` says more came than fit.
ssize_t SendWithFd(int sock, const void* data, size_t size, int fd);
ssize_t ReceiveWithFd(int sock, void* data, size_t size, int flags, int* fd, bool* truncated);

// The supervisor's note about a worker whose channel goes with it.
struct ChannelNote {
  int32_t index = 0;  // 1..N for the regular workers, above N for spares
  int32_t pid = 0;
  int32_t spare = 0;  // 1: a spare worker, retired when idle
};

// The front's one message on the control socket: "start a spare worker".
inline constexpr char kSpareWanted = 'S';

bool SendChannel(int control_fd, const ChannelNote& note, int channel_fd);
// 1 with `note` and `channel_fd` (close-on-exec) set; 0 when the control
// socket was closed; -1 when nothing is waiting or on an error. A message
// without a descriptor is dropped (-1).
int ReceiveChannel(int control_fd, ChannelNote* note, int* channel_fd);

}  // namespace host
}  // namespace kinoro

#endif  // KINORO_PLATFORM_HOST_WORKER_CHANNEL_H_

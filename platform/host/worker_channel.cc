#include "platform/host/worker_channel.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace kinoro {
namespace host {
namespace {

// Field counts bound what a decoder accepts before it allocates anything.
constexpr uint32_t kMaxHeaders = 256;

void PutU32(std::string* out, uint32_t v) {
  char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
               static_cast<char>(v)};
  out->append(b, 4);
}

void PutU64(std::string* out, uint64_t v) {
  PutU32(out, static_cast<uint32_t>(v >> 32));
  PutU32(out, static_cast<uint32_t>(v));
}

void PutString(std::string* out, const std::string& s) {
  PutU32(out, static_cast<uint32_t>(s.size()));
  out->append(s);
}

// Starts a frame with room for its length, filled in by Finish.
std::string Begin() { return std::string(kFrameHeaderBytes, '\0'); }

std::string Finish(std::string frame) {
  uint32_t length = static_cast<uint32_t>(frame.size() - kFrameHeaderBytes);
  std::string prefix;
  PutU32(&prefix, length);
  frame.replace(0, kFrameHeaderBytes, prefix);
  return frame;
}

class Reader {
 public:
  explicit Reader(const std::string& data) : data_(data) {}
  bool U32(uint32_t* v) {
    if (data_.size() - pos_ < 4) return false;
    *v = FramePayloadLength(data_.data() + pos_);
    pos_ += 4;
    return true;
  }
  bool U64(uint64_t* v) {
    uint32_t high = 0, low = 0;
    if (!U32(&high) || !U32(&low)) return false;
    *v = (uint64_t{high} << 32) | low;
    return true;
  }
  bool String(std::string* s) {
    uint32_t n = 0;
    if (!U32(&n) || data_.size() - pos_ < n) return false;
    s->assign(data_, pos_, n);
    pos_ += n;
    return true;
  }
  bool AtEnd() const { return pos_ == data_.size(); }

 private:
  const std::string& data_;
  size_t pos_ = 0;
};

}  // namespace

uint32_t FramePayloadLength(const char* header) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(header);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

std::string EncodeRequestFrame(const HttpRequest& r, const std::vector<uint64_t>& released) {
  std::string frame = Begin();
  for (const std::string* s : {&r.method, &r.path, &r.query, &r.body, &r.content_type, &r.cookie,
                               &r.if_none_match, &r.client}) {
    PutString(&frame, *s);
  }
  const size_t count = std::min(released.size(), kMaxReleasedFiles);
  PutU32(&frame, static_cast<uint32_t>(count));
  for (size_t i = 0; i < count; ++i) PutU64(&frame, released[i]);
  return Finish(std::move(frame));
}

bool DecodeRequest(const std::string& payload, HttpRequest* out, std::vector<uint64_t>* released) {
  Reader in(payload);
  HttpRequest r;
  for (std::string* s : {&r.method, &r.path, &r.query, &r.body, &r.content_type, &r.cookie,
                         &r.if_none_match, &r.client}) {
    if (!in.String(s)) return false;
  }
  uint32_t count = 0;
  if (!in.U32(&count) || count > kMaxReleasedFiles) return false;
  std::vector<uint64_t> inodes(count);
  for (uint64_t& inode : inodes) {
    if (!in.U64(&inode)) return false;
  }
  if (!in.AtEnd()) return false;
  *out = std::move(r);
  if (released != nullptr) *released = std::move(inodes);
  return true;
}

std::string EncodeAnswerFrame(const HttpResponse& r) {
  std::string frame = Begin();
  PutU32(&frame, static_cast<uint32_t>(r.status));
  PutU32(&frame, static_cast<uint32_t>(r.error_code));
  PutString(&frame, r.api);
  PutString(&frame, r.api_method);
  PutU32(&frame, static_cast<uint32_t>(r.headers.size()));
  for (const auto& h : r.headers) {
    PutString(&frame, h.first);
    PutString(&frame, h.second);
  }
  PutString(&frame, r.body);
  // A body in a file travels as the descriptor sent with the frame.
  const bool file = r.body_file != nullptr;
  PutU32(&frame, file ? 1 : 0);
  PutU64(&frame, file ? r.body_file->offset : 0);
  PutU64(&frame, file ? r.body_file->length : 0);
  return Finish(std::move(frame));
}

bool DecodeAnswer(const std::string& payload, HttpResponse* out, AnswerFile* file) {
  Reader in(payload);
  HttpResponse r;
  uint32_t status = 0, error_code = 0, headers = 0;
  if (!in.U32(&status) || !in.U32(&error_code) || !in.String(&r.api) || !in.String(&r.api_method) ||
      !in.U32(&headers)) {
    return false;
  }
  if (status < 100 || status > 599 || headers > kMaxHeaders) return false;
  r.status = static_cast<int>(status);
  r.error_code = static_cast<int32_t>(error_code);
  for (uint32_t i = 0; i < headers; ++i) {
    std::string name, value;
    if (!in.String(&name) || !in.String(&value)) return false;
    r.headers.emplace_back(std::move(name), std::move(value));
  }
  uint32_t has_file = 0;
  AnswerFile f;
  if (!in.String(&r.body) || !in.U32(&has_file) || has_file > 1 || !in.U64(&f.offset) ||
      !in.U64(&f.length) || !in.AtEnd()) {
    return false;
  }
  f.present = has_file == 1;
  if (f.present && (file == nullptr || !r.body.empty())) return false;
  if (file != nullptr) *file = f;
  *out = std::move(r);
  return true;
}

ReadResult ReadFrame(int fd, size_t max_payload, std::string* payload) {
  auto read_exactly = [fd](char* buf, size_t n, size_t* got) {
    *got = 0;
    while (*got < n) {
      ssize_t r = read(fd, buf + *got, n - *got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return r == 0;  // true: end of stream
      *got += static_cast<size_t>(r);
    }
    return true;
  };
  char header[kFrameHeaderBytes];
  size_t got = 0;
  if (!read_exactly(header, sizeof header, &got)) return ReadResult::kError;
  if (got == 0) return ReadResult::kClosed;
  if (got < sizeof header) return ReadResult::kError;
  uint32_t length = FramePayloadLength(header);
  if (length > max_payload) return ReadResult::kError;
  payload->resize(length);
  if (!read_exactly(&(*payload)[0], length, &got) || got < length) return ReadResult::kError;
  return ReadResult::kFrame;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t w = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

ssize_t SendWithFd(int sock, const void* data, size_t size, int fd) {
  struct iovec iov = {const_cast<void*>(data), size};
  union {
    char buf[CMSG_SPACE(sizeof(int))];
    struct cmsghdr align;
  } control;
  memset(&control, 0, sizeof control);
  struct msghdr msg = {};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.buf;
  msg.msg_controllen = sizeof control.buf;
  struct cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
  cmsg->cmsg_level = SOL_SOCKET;
  cmsg->cmsg_type = SCM_RIGHTS;
  cmsg->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(cmsg), &fd, sizeof(int));
  ssize_t sent;
  do {
    sent = sendmsg(sock, &msg, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

ssize_t ReceiveWithFd(int sock, void* data, size_t size, int flags, int* fd, bool* truncated) {
  *fd = -1;
  *truncated = false;
  struct iovec iov = {data, size};
  union {
    char buf[CMSG_SPACE(sizeof(int))];
    struct cmsghdr align;
  } control;
  struct msghdr msg = {};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.buf;
  msg.msg_controllen = sizeof control.buf;
  ssize_t n;
  do {
    n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC | flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return n;
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
        c->cmsg_len == CMSG_LEN(sizeof(int))) {
      memcpy(fd, CMSG_DATA(c), sizeof(int));
    }
  }
  // More descriptors than were asked for: the kernel closed those that did
  // not fit, and the one kept cannot be trusted to be the right one.
  *truncated = (msg.msg_flags & MSG_CTRUNC) != 0;
  return n;
}

bool WriteAnswerFrame(int fd, const std::string& frame, int body_fd) {
  if (body_fd < 0) return WriteAll(fd, frame);
  const ssize_t first = SendWithFd(fd, frame.data(), frame.size(), body_fd);
  if (first <= 0) return false;
  return WriteAll(fd, frame.substr(static_cast<size_t>(first)));
}

bool SendChannel(int control_fd, const ChannelNote& note, int channel_fd) {
  return SendWithFd(control_fd, &note, sizeof note, channel_fd) ==
         static_cast<ssize_t>(sizeof note);
}

int ReceiveChannel(int control_fd, ChannelNote* note, int* channel_fd) {
  ChannelNote got;
  int fd = -1;
  bool truncated = false;
  const ssize_t n = ReceiveWithFd(control_fd, &got, sizeof got, MSG_DONTWAIT, &fd, &truncated);
  if (n == 0) return 0;
  if (n < 0) return -1;
  if (fd >= 0 && (n != static_cast<ssize_t>(sizeof got) || truncated)) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) return -1;
  *note = got;
  *channel_fd = fd;
  return 1;
}

}  // namespace host
}  // namespace kinoro

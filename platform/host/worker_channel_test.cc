#include "platform/host/worker_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kinoro {
namespace host {
namespace {

// A frame from a worker that broke mid-write, or one that lies about its
// sizes, must be refused, never read past its end.
TEST(WorkerChannelTest, FramesRoundTripAndEveryCutIsRefused) {
  HttpRequest request;
  request.method = "POST";
  request.path = "/webapi/entry.cgi";
  request.query = "api=A&version=1";
  request.body = std::string("bin\0ary", 7);
  request.cookie = "id=abc";
  request.client = "192.0.2.1";
  HttpResponse answer;
  answer.status = 404;
  answer.error_code = 117;
  answer.api = "A";
  answer.api_method = "get";
  answer.headers = {{"ETag", "\"x\""}, {"X-Empty", ""}};
  answer.body = std::string(70000, '\xff');

  const std::vector<uint64_t> released = {7, uint64_t{1} << 40};
  std::string request_frame = EncodeRequestFrame(request, released);
  std::string answer_frame = EncodeAnswerFrame(answer);
  ASSERT_EQ(FramePayloadLength(request_frame.data()), request_frame.size() - kFrameHeaderBytes);
  const std::string request_payload = request_frame.substr(kFrameHeaderBytes);
  HttpRequest r;
  std::vector<uint64_t> given_back;
  ASSERT_TRUE(DecodeRequest(request_payload, &r, &given_back));
  EXPECT_EQ(r.body, request.body);  // the other fields are seen through the HTTP tests
  EXPECT_EQ(given_back, released);
  HttpResponse a;
  ASSERT_TRUE(DecodeAnswer(answer_frame.substr(kFrameHeaderBytes), &a));
  EXPECT_EQ(a.headers, answer.headers);
  EXPECT_EQ(a.body, answer.body);

  for (size_t cut = 0; cut < request_payload.size(); ++cut) {
    EXPECT_FALSE(DecodeRequest(request_payload.substr(0, cut), &r)) << cut;
  }
  EXPECT_FALSE(DecodeRequest(request_payload + "x", &r)) << "trailing bytes";
  std::string answer_payload = answer_frame.substr(kFrameHeaderBytes, 200);
  for (size_t cut = 0; cut < answer_payload.size(); ++cut) {
    EXPECT_FALSE(DecodeAnswer(answer_payload.substr(0, cut), &a)) << cut;
  }
  // A body in a file: its place travels in the frame, the descriptor beside
  // it, and a reader that cannot take a descriptor refuses the frame.
  HttpResponse in_file;
  in_file.body_file = std::make_shared<BodyFile>(-1, 5ull << 32, (3ull << 32) + 7);
  const std::string file_payload = EncodeAnswerFrame(in_file).substr(kFrameHeaderBytes);
  AnswerFile file;
  ASSERT_TRUE(DecodeAnswer(file_payload, &a, &file));
  EXPECT_TRUE(file.present);
  EXPECT_EQ(file.offset, 5ull << 32);
  EXPECT_EQ(file.length, (3ull << 32) + 7);
  EXPECT_FALSE(DecodeAnswer(file_payload, &a));

  std::string bad_status = answer_frame.substr(kFrameHeaderBytes);
  bad_status.replace(0, 4, std::string(4, '\0'));  // status 0
  EXPECT_FALSE(DecodeAnswer(bad_status, &a));
}

TEST(WorkerChannelTest, ReadFrameTellsACleanCloseFromABrokenFrame) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  HttpRequest request;
  request.method = "GET";
  std::string frame = EncodeRequestFrame(request);
  ASSERT_TRUE(WriteAll(pair[1], frame + frame.substr(0, 6)));
  close(pair[1]);
  std::string payload;
  EXPECT_EQ(ReadFrame(pair[0], kMaxRequestPayload, &payload), ReadResult::kFrame);
  EXPECT_EQ(ReadFrame(pair[0], kMaxRequestPayload, &payload), ReadResult::kError);
  close(pair[0]);

  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_TRUE(WriteAll(pair[1], frame));
  close(pair[1]);
  EXPECT_EQ(ReadFrame(pair[0], 3, &payload), ReadResult::kError) << "over the limit";
  close(pair[0]);

  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  close(pair[1]);
  EXPECT_EQ(ReadFrame(pair[0], kMaxRequestPayload, &payload), ReadResult::kClosed);
  close(pair[0]);
}

}  // namespace
}  // namespace host
}  // namespace kinoro

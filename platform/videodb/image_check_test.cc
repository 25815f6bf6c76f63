#include "platform/videodb/image_check.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/videodb/temp_db.h"

namespace {

using LibKinoro::db::internal::ImageFormat;
using LibKinoro::db::internal::ImageHeader;
using LibKinoro::db::internal::PrepareBackdropImage;
using LibKinoro::db::internal::ReadImageHeader;
using videodb_test::EncodeJpeg;
using videodb_test::EncodePng;

// A real JPEG whose frame header claims another size: only the header is
// read, so no image of that size needs to exist.
std::string JpegClaiming(int width, int height) {
  std::string bytes = EncodeJpeg(8, 8, 1);
  for (size_t i = 2; i + 9 < bytes.size(); ++i) {
    if (bytes[i] == '\xff' && (bytes[i + 1] == '\xc0' || bytes[i + 1] == '\xc2')) {
      bytes[i + 5] = static_cast<char>(height >> 8);
      bytes[i + 6] = static_cast<char>(height & 0xff);
      bytes[i + 7] = static_cast<char>(width >> 8);
      bytes[i + 8] = static_cast<char>(width & 0xff);
      return bytes;
    }
  }
  ADD_FAILURE() << "no frame header";
  return bytes;
}

TEST(ImageCheckTest, OnlyRealJpegAndPngWithinTheBounds) {
  // 41 bytes that start like a JPEG and hold a page.
  std::string html = "\xff\xd8\xff\xe0<html><script>alert(1)</script></html>";
  html.resize(41, ' ');
  const std::string jpeg = EncodeJpeg(16, 12, 2);
  std::string png = EncodePng(20, 10, true);
  std::string cut_png = png.substr(0, png.size() - 30);  // the data ends early

  const struct {
    const char* what;
    std::string bytes;
    const char* error;  // part of the reason, or null when accepted
  } cases[] = {
      {"real JPEG", jpeg, nullptr},
      {"10000x5000 JPEG header", JpegClaiming(10000, 5000), nullptr},
      {"real PNG", png, nullptr},
      {"HTML behind a JPEG start", html, "broken JPEG header"},
      {"text", "just some text", "not a JPEG or PNG image"},
      {"GIF", "GIF89a\x01\x00\x01\x00\x00\x00\x00;", "not a JPEG or PNG image"},
      {"PNG signature alone", png.substr(0, 8), "broken PNG header"},
      {"cut PNG", cut_png, "PNG does not decode"},
      {"10001x1 JPEG header", JpegClaiming(10001, 1), "more than 10000 a side"},
      {"10000x5001 JPEG header", JpegClaiming(10000, 5001), "50 megapixels"},
      {"20000x20000 PNG header", EncodePng(20000, 20000, false, 1), "more than 10000 a side"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string stored;
    std::string error;
    bool ok = PrepareBackdropImage(c.bytes, &stored, &error);
    if (c.error == nullptr) {
      ASSERT_TRUE(ok) << error;
      ImageHeader header;
      ASSERT_TRUE(ReadImageHeader(stored, &header, &error)) << error;
      EXPECT_EQ(ImageFormat::kJpeg, header.format) << "stored bytes must be a JPEG";
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(std::string::npos, error.find(c.error)) << "error: " << error;
    }
  }
}

}  // namespace

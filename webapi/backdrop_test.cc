#include "webapi/backdrop.h"

#include <gtest/gtest.h>

#include <string>

namespace velmkr::webapi {
namespace {

// The library's digests are all 16 bytes: the tag's exact form (each byte
// in hex without a leading zero) is seen here only.
TEST(CreateCGIETagTest, FourGroupsOfUnpaddedHexOfTheFirst16Bytes) {
  BackdropAPI api(nullptr, nullptr);
  std::string counting;  // 0x00, 0x11, ... 0xff
  for (int i = 0; i < 16; ++i) counting += static_cast<char>(i * 17);
  EXPECT_EQ("0112233-44556677-8899aabb-ccddeeff", api.CreateCGIETag(counting));
  const std::string digest = "\x0a\xb0" + std::string(14, '\xff') + "ignored";
  EXPECT_EQ("ab0ffff-ffffffff-ffffffff-ffffffff", api.CreateCGIETag(digest));
}

}  // namespace
}  // namespace velmkr::webapi

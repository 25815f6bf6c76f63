#include "platform/host/access_log.h"

#include <gtest/gtest.h>

namespace kinoro {
namespace host {
namespace {

TEST(AccessLogTest, LineFormat) {
  AccessRecord r;
  r.worker = 2;
  r.api = "VELM.Kinoro.Backdrop";
  r.method = "get";
  r.status = 304;
  r.error_code = 0;
  r.milliseconds = 1.234;
  // 2027-01-15T08:00:00.250Z
  EXPECT_EQ(FormatAccessLine(r, 1800000000.25),
            "2027-01-15T08:00:00.250Z worker=2 api=VELM.Kinoro.Backdrop method=get status=304 "
            "error=0 ms=1.23\n");
}

TEST(AccessLogTest, ClientNamesCannotBreakTheLine) {
  AccessRecord r;
  r.api = "a b\nc\x01\\\xc3\xa9";
  r.method = std::string(300, 'm');
  std::string line = FormatAccessLine(r, 0);
  EXPECT_NE(line.find(" api=a\\x20b\\x0ac\\x01\\x5c\\xc3\\xa9 "), std::string::npos) << line;
  EXPECT_NE(line.find(" method=" + std::string(253, 'm') + "... "), std::string::npos) << line;
  EXPECT_EQ(line.find('\n'), line.size() - 1);

  r.api.clear();
  r.method.clear();
  EXPECT_NE(FormatAccessLine(r, 0).find("api=- method=- "), std::string::npos);
}

TEST(AccessLogTest, EscapedValuesAreCutAt256BytesNeverInsideAnEscape) {
  auto newlines = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "\\x0a";
    return s;
  };
  struct Case {
    std::string value;
    std::string expected;
  };
  const Case cases[] = {
      {std::string(256, 'a'), std::string(256, 'a')},
      {std::string(257, 'a'), std::string(253, 'a') + "..."},
      {std::string(64, '\n'), newlines(64)},
      {std::string(65, '\n'), newlines(63) + "..."},
  };
  for (const Case& c : cases) {
    std::string escaped = EscapeLogValue(c.value);
    EXPECT_EQ(escaped, c.expected) << c.value.size();
    EXPECT_LE(escaped.size(), kMaxLogValue);
  }
}

}  // namespace
}  // namespace host
}  // namespace kinoro

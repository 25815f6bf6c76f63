// Client text (a URL, a share path, what a web service sent) as the platform
// libraries put it into a log line: control bytes are escaped, so that a
// value cannot end the line and forge the next one, and the result is
// capped, so that one value cannot flood the log.
#ifndef KINORO_PLATFORM_SERVICES_LOG_VALUE_H_
#define KINORO_PLATFORM_SERVICES_LOG_VALUE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace velm {

constexpr size_t kMaxLogValueBytes = 256;

// "\n", "\r" and "\t" become those two-character escapes, a backslash is
// doubled, other bytes below 0x20 and 0x7f become "\xHH". A result longer
// than kMaxLogValueBytes is cut (never inside an escape or a UTF-8
// sequence) and ends in "..." within that length.
std::string LogValue(std::string_view value);

}  // namespace velm

#endif  // KINORO_PLATFORM_SERVICES_LOG_VALUE_H_

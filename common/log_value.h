// Client text (a URL, a share path) as it goes into a log line: control
// bytes are escaped, so that a value cannot end the line and forge the next
// one, and the result is capped, so that one value cannot flood the log.
// The module's own helper; not exported.
#ifndef KINORO_COMMON_LOG_VALUE_H_
#define KINORO_COMMON_LOG_VALUE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace velmkr {
namespace webapi {

constexpr size_t kMaxLoggedValueBytes = 256;

// "\n", "\r" and "\t" become those two-character escapes, a backslash is
// doubled, other bytes below 0x20 and 0x7f become "\xHH". A result longer
// than kMaxLoggedValueBytes is cut (never inside an escape or a UTF-8
// sequence) and ends in "..." within that length.
std::string LogValue(std::string_view value);

}  // namespace webapi
}  // namespace velmkr

#endif  // KINORO_COMMON_LOG_VALUE_H_

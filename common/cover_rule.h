// The user's prepared cover rule from the package's advanced settings file
// ("/var/packages/Kinoro/etc/advanced.conf" under the root). The file is read
// once per process by each function, on its first call; that call fixes the
// answer, so a later edit of the file is seen only by a new process.
#ifndef KINORO_COMMON_COVER_RULE_H_
#define KINORO_COMMON_COVER_RULE_H_

#include <string>

namespace velmkr {
namespace webapi {

// The rule's text when "cmzvideo_cover" is the boolean true and
// "cmzvideo_cover_rule" a string; empty otherwise. Safe to call from several
// threads; never logs or throws.
std::string GetUserPreparedCoverRule();

}  // namespace webapi
}  // namespace velmkr

namespace Kinoro {
namespace webapi {

// Same rules as velmkr::webapi::GetUserPreparedCoverRule, with a cache of its
// own: one function's first call does not answer for the other.
std::string GetUserPreparedCoverRule();

}  // namespace webapi
}  // namespace Kinoro

#endif  // KINORO_COMMON_COVER_RULE_H_

// Who the current call runs for. The host framework names the logged-in user
// before each module call and clears the name afterwards; tools that work on
// the whole appliance name the system instead. Platform libraries that keep
// per-user data (the video database's backdrops) read it and refuse to act
// when nobody is named.
//
// The context belongs to the process: a process runs one module call at a
// time, and the setters are meant for the code that runs those calls.
#ifndef KINORO_PLATFORM_INCLUDE_VELM_CALLER_H_
#define KINORO_PLATFORM_INCLUDE_VELM_CALLER_H_

namespace velm {

enum class CallerKind {
  kNone,    // nobody named: per-user data is refused
  kUser,    // a logged-in user, an administrator or not
  kSystem,  // a tool acting for the appliance: sees everything
};

struct Caller {
  CallerKind kind = CallerKind::kNone;
  unsigned int uid = 0;
  bool is_admin = false;
  // Changes each time the caller is set or cleared: one value per module
  // call, so that a library can do a check once per call.
  unsigned long serial = 0;
};

void SetCallerUser(unsigned int uid, bool is_admin);
void SetCallerSystem();
void ClearCaller();
Caller GetCaller();

// Names a user for one block and clears the context when the block is left,
// by an exception too.
class ScopedCaller {
 public:
  ScopedCaller(unsigned int uid, bool is_admin) { SetCallerUser(uid, is_admin); }
  ~ScopedCaller() { ClearCaller(); }
  ScopedCaller(const ScopedCaller&) = delete;
  ScopedCaller& operator=(const ScopedCaller&) = delete;
};

}  // namespace velm

#endif  // KINORO_PLATFORM_INCLUDE_VELM_CALLER_H_

// The process's caller context: one per process, like the rest of a worker's
// state (a worker runs one module call at a time). The lock only keeps a
// reader on another thread from seeing half an update.
#include "velm/caller.h"

#include <mutex>

namespace velm {
namespace {

std::mutex g_mutex;
Caller g_caller;
unsigned long g_serial = 0;

}  // namespace

void SetCallerUser(unsigned int uid, bool is_admin) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_caller.kind = CallerKind::kUser;
  g_caller.uid = uid;
  g_caller.is_admin = is_admin;
  ++g_serial;
}

void SetCallerSystem() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_caller = Caller();
  g_caller.kind = CallerKind::kSystem;
  ++g_serial;
}

void ClearCaller() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_caller = Caller();
  ++g_serial;
}

Caller GetCaller() {
  std::lock_guard<std::mutex> lock(g_mutex);
  Caller caller = g_caller;
  caller.serial = g_serial;
  return caller;
}

}  // namespace velm

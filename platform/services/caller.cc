// The process's caller context: one per process, like the rest of a worker's
// state (a worker runs one module call at a time). The lock only keeps a
// reader on another thread from seeing half an update.
#include "velm/caller.h"

#include <mutex>

namespace velm {
namespace {

std::mutex g_mutex;
Caller g_caller;

}  // namespace

void SetCallerUser(unsigned int uid, bool is_admin) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_caller.kind = CallerKind::kUser;
  g_caller.uid = uid;
  g_caller.is_admin = is_admin;
}

void SetCallerSystem() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_caller = Caller();
  g_caller.kind = CallerKind::kSystem;
}

void ClearCaller() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_caller = Caller();
}

Caller GetCaller() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_caller;
}

}  // namespace velm

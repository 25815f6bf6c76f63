// local_similar: requests one per line on standard input, each answered
// with one line on standard output (a JSON array of titles, or
// {"error": message}), until standard input ends.
#include <iostream>

#include "plugins/common/plugin_io.h"
#include "plugins/local_similar/local_similar.h"

int main() {
  std::ios::sync_with_stdio(false);
  return kinoro_plugins::ServeRequests(std::cin, std::cout, kinoro_local_similar::Answer);
}

// tmdb: requests one per line on standard input, each answered with one
// line on standard output (a JSON array of titles, or {"error": message}),
// until standard input ends.
#include <curl/curl.h>

#include <iostream>

#include "plugins/common/plugin_io.h"
#include "plugins/tmdb/tmdb.h"

int main() {
  std::ios::sync_with_stdio(false);
  // Once for the process: it loads the TLS library, the costly part.
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    std::cerr << "tmdb: cannot initialise libcurl\n";
    return 1;
  }
  const int status = kinoro_plugins::ServeRequests(std::cin, std::cout, kinoro_tmdb::Answer);
  curl_global_cleanup();
  return status;
}

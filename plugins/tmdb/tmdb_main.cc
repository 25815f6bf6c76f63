// tmdb: one request on standard input, one JSON array of titles on
// standard output; on failure a message on standard error and status 1.
#include <iostream>

#include <curl/curl.h>

#include "plugins/common/plugin_io.h"
#include "plugins/tmdb/tmdb.h"

int main() {
  kinoro_plugins::Request request;
  std::string error;
  if (!kinoro_plugins::ReadRequest(std::cin, &request, &error)) {
    std::cerr << "tmdb: " << error << "\n";
    return 1;
  }
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    std::cerr << "tmdb: cannot initialise libcurl\n";
    return 1;
  }
  Json::Value answer;
  bool ok = kinoro_tmdb::Answer(request, &answer, &error);
  curl_global_cleanup();
  if (!ok) {
    std::cerr << "tmdb: " << error << "\n";
    return 1;
  }
  std::cout << kinoro_plugins::ToJsonLine(answer);
  std::cout.flush();
  return std::cout ? 0 : 1;
}

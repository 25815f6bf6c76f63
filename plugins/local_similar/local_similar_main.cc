// local_similar: one request on standard input, one JSON array of titles on
// standard output; on failure a message on standard error and status 1.
#include <iostream>

#include "plugins/common/plugin_io.h"
#include "plugins/local_similar/local_similar.h"

int main() {
  kinoro_plugins::Request request;
  std::string error;
  Json::Value answer;
  if (!kinoro_plugins::ReadRequest(std::cin, &request, &error) ||
      !kinoro_local_similar::Answer(request, &answer, &error)) {
    std::cerr << "local_similar: " << error << "\n";
    return 1;
  }
  std::cout << kinoro_plugins::ToJsonLine(answer);
  std::cout.flush();
  return std::cout ? 0 : 1;
}

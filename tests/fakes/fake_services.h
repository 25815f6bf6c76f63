// Recording stand-ins for the appliance services, for unit tests of the
// module: linking fake_services.cc into a test binary replaces the share
// lookup, the index queue writer and the pid-file signal for the objects
// linked into it.
#ifndef KINORO_TESTS_FAKES_FAKE_SERVICES_H_
#define KINORO_TESTS_FAKES_FAKE_SERVICES_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace fake {

struct ServicesWorld {
  std::map<std::string, std::string> shares;  // name -> root path
  int share_gets = 0;
  int share_frees = 0;

  std::vector<std::pair<std::string, std::string>> queued;  // (record, queue file)
  int queue_result = 0;

  std::vector<std::pair<std::string, int>> signals;  // (pid file, signal)
};

ServicesWorld& Services();
void ResetServices();

}  // namespace fake

#endif  // KINORO_TESTS_FAKES_FAKE_SERVICES_H_

// VELM.Kinoro.OfflineConversion: list, create, delete, stop and restart the
// background conversion tasks that the video database keeps.
#ifndef KINORO_WEBAPI_OFFLINE_CONVERSION_H_
#define KINORO_WEBAPI_OFFLINE_CONVERSION_H_

#include <cstdint>
#include <vector>

#include "libkinoro/api.h"
#include "webapi/base_api.h"

namespace velmkr {
namespace webapi {

// Every method first asks the capability switch and answers 105 when it is
// off, before reading any parameter. Behind the switch each method makes one
// database access object and ends with exactly one SetSuccess or SetError.
class OfflineConversionAPI : public BaseAPI {
 public:
  // Reads the login user id from the request.
  OfflineConversionAPI(VELM::APIRequest* request, VELM::APIResponse* response);
  virtual ~OfflineConversionAPI();

  // "list": {"task": [...]} of every task in the caller's scope, oldest
  // first; "additional" names the parts to load ("video", "file",
  // "produced_file").
  void List_v1();
  // "create": {"id"} of a new task owned by the caller (also for an
  // administrator); "file_id" > 0, "video_profile" one of the profiles in
  // any letter case, optional "audio_id" >= 0.
  void Create_v1();
  // "delete", "stop", "restart": "id" is an array of task ids > 0.
  void Delete_v1();
  void Stop_v1();
  void Restart_v1();
  // "stop_all", "restart_all": every task in the caller's scope.
  void Stop_All_v1();
  void Restart_All_v1();

  // The capability switch; off in this system.
  bool GetOfflineConversionPrivage() const;
  // 0 (every user's tasks) for an administrator, else the login user id.
  // Asks the request anew on each call.
  uint32_t GetUID() const;

 private:
  // What the methods ask before anything else: the switch. Tests derive a
  // class that turns it on to reach the work behind it.
  virtual bool ConversionAllowed() const;

  using ByIdsCall =
      bool (LibKinoro::db::api::OfflineConversionAPI::*)(const std::vector<int>&) const;
  using AllCall = bool (LibKinoro::db::api::OfflineConversionAPI::*)() const;

  // Bodies shared by delete/stop/restart and by stop_all/restart_all, which
  // differ only in the database call.
  void ChangeByIds(ByIdsCall call);
  void ChangeAll(AllCall call);

  uint32_t login_uid_;
};

}  // namespace webapi
}  // namespace velmkr

#endif  // KINORO_WEBAPI_OFFLINE_CONVERSION_H_

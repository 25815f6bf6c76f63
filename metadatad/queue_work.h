// Taking the metadata queue: its records move to a work file under the lock
// the queue's writers take, and are read back merged.
#ifndef KINORO_METADATAD_QUEUE_WORK_H_
#define KINORO_METADATAD_QUEUE_WORK_H_

#include <string>
#include <vector>

namespace kinoro {
namespace metadatad {

// One backup task: "b:<type>:<id>".
struct Record {
  std::string type;
  long long id = 0;
};

// Parses one queue line; false when it is no backup task record.
bool ParseRecord(const std::string& line, Record* record);

enum class TakeResult { kTaken, kEmpty, kFailed };

// Renames the queue to `work` under the queue's lock, so that no writer
// appends to what was taken. kEmpty when there is no queue (or an empty
// one); kFailed (logged) when it could not be taken. The caller processes
// an existing work file before taking again.
TakeResult TakeQueue(const std::string& queue, const std::string& work);

// The records of the work file, one per video in the order first named.
// Each malformed line is logged once and dropped.
std::vector<Record> ReadWork(const std::string& work);

}  // namespace metadatad
}  // namespace kinoro

#endif  // KINORO_METADATAD_QUEUE_WORK_H_

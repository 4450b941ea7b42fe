// snapshot.h: the snapshot document, written from readings already taken. Pure function over
// its inputs; safe on any thread.
#ifndef OSTREL_SERVER_SNAPSHOT_H_
#define OSTREL_SERVER_SNAPSHOT_H_

#include <stdint.h>

#include <string>

#include "sensors/ostrel_sensors.h"

namespace ostrel {

// One reading of every sensor, as the readers returned it. The records are borrowed.
struct Readings {
  const OstrelTemp* temps = nullptr;  // temp_count records
  int32_t temp_count = 0;             // as the temperature reader returned it
  int32_t temp_capacity = 0;          // how many records `temps` holds
  const OstrelFan* fans = nullptr;    // fan_count records
  int32_t fan_count = 0;              // as the fan reader returned it
  int32_t fan_capacity = 0;           // how many records `fans` holds
  int32_t power_status = -1;          // the power reader's result; 0 = the four values hold
  double cpu = 0.0;                   // watts
  double gpu = 0.0;                   // watts
  double ane = 0.0;                   // watts
  double soc = 0.0;                   // watts, the sum
  bool login_item = false;            // the login item is enabled
};

// The compact JSON document with the members "temperatures", "fans", "power", "loginItem",
// "helper" and "version", in that order; "{}" when it cannot be written (a value that is not
// finite). A count outside [0, capacity] counts as nothing read.
std::string SnapshotDocument(const Readings& readings);

}  // namespace ostrel

#endif  // OSTREL_SERVER_SNAPSHOT_H_

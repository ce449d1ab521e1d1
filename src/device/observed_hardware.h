// A real port's backend, watched: the record and the status block fed from the latch writes
// that went out and the status reads that came back, decoded by the same BoardObserver as the
// simulated table's. Calls recording_backend.h and the port backend it wraps.
#pragma once

#include <memory>
#include <string>

#include "contract/steplink_contract.h"
#include "device/port_backend.h"

namespace sim {

// `port` watched, with a record at recordPath and a status block named statusName (either empty:
// none). nullptr and a reason when the record or the block cannot be set up.
std::unique_ptr<PortBackend> MakeObservedPort(std::unique_ptr<PortBackend> port,
                                              const std::string& recordPath,
                                              const std::string& statusName, std::string& error);

}  // namespace sim

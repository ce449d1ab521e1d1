// Status blocks that killed runs left: /dev/shm/steplink-run-PID whose process is gone. Their
// names carry the pid, so nothing would ever replace them. Calls the status block's creator.
#pragma once

namespace tool {

// Removes every such block whose owner is dead; a block of a live run is left alone.
void RemoveStaleRunBlocks();

}  // namespace tool

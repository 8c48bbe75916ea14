// The platform seam for the priority of the scan's helper threads.
#pragma once

namespace varnolt {

// Lowers the calling thread's share of the processors below that of the
// program's other threads. Where the system does not allow it, nothing
// changes.
void LowerThisThreadsPriority();

}  // namespace varnolt

// How many threads a run may use.
#pragma once

namespace haloprof {

// The processors this process may run on (its CPU affinity), at least 1.
int usable_cores();

}  // namespace haloprof

// Work cut into a fixed number of parts, run on up to that many threads at once.
#pragma once

#include <cstdint>

#include "core/threads.h"

namespace haloprof::density_detail {

// Calls work(p) for every part p in [0, parts), on up to `parts` threads (the calling one
// among them). Which thread runs a part never matters: each part's work is fixed by p.
// Parts no thread could be started for run on the calling thread.
template <typename Work>
void for_each_part(int parts, const Work& work) {
  thread_group others;
  int started = 1;
  for (; started < parts; ++started)
    if (!others.start([&work, started] { work(started); })) break;
  work(0);
  for (int p = started; p < parts; ++p) work(p);
  others.join();
}

// The first element of part p when n elements are cut into `parts` nearly equal stretches.
inline std::int64_t part_begin(std::int64_t n, int parts, int p) { return n * p / parts; }

}  // namespace haloprof::density_detail

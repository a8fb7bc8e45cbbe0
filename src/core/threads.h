// How many threads a run may use, and the one way the passes over the particles share
// work between them without changing a bit: what each particle contributes is worked out
// in parallel, and whatever must follow file order (the sums) takes it in order.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace haloprof {

// The processors this process may run on (its CPU affinity), at least 1.
int usable_cores();

// Calls work(first, last) on `threads` threads at once for stretches that cover [0, n),
// each element in one stretch.
template <typename Work>
void in_stretches(int threads, std::int64_t n, const Work& work) {
  const std::int64_t t = std::max<std::int64_t>(1, std::min<std::int64_t>(threads, n / 65536));
  std::vector<std::jthread> others;
  for (std::int64_t k = 1; k < t; ++k) others.emplace_back([&, k] { work(n * k / t, n * (k + 1) / t); });
  work(0, n / t);
}

// Works through the elements [0, n) in blocks of `block`, on `threads` threads, and hands
// each block's result to `use` in order on the calling thread:
//   pick(first, count, out) appends to `out` what the elements [first, first + count)
//     contribute (which of them pass a test, say); it runs on any thread, several blocks
//     at once;
//   use(first, out) runs on the calling thread, block after block in file order.
// Only two blocks per thread (64 in all at most) are picked ahead of the one in use, so
// memory stays small.
// With one thread, pick and use simply alternate.
template <typename T, typename Pick, typename Use>
void pick_in_order(int threads, std::int64_t n, std::int64_t block, const Pick& pick, const Use& use) {
  const std::int64_t blocks = (n + block - 1) / block;
  const auto count = [&](std::int64_t b) { return std::min(block, n - b * block); };
  if (threads <= 1 || blocks <= 1) {
    std::vector<T> out;
    for (std::int64_t b = 0; b < blocks; ++b) {
      out.clear();
      pick(b * block, count(b), out);
      use(b * block, static_cast<const std::vector<T>&>(out));
    }
    return;
  }

  // A ring of slots: block b is picked into slot b % ahead once block b - ahead is used.
  const std::int64_t ahead = std::min<std::int64_t>(2 * static_cast<std::int64_t>(threads) + 2, 64);
  struct slot {
    std::vector<T> out;
    std::atomic<std::int64_t> ready{-1};  // the block whose result the slot holds
  };
  std::vector<slot> ring(static_cast<std::size_t>(ahead));
  std::atomic<std::int64_t> next{0};  // the next block to pick
  std::atomic<std::int64_t> used{0};  // blocks [0, used) are used

  const auto picker = [&] {
    for (;;) {
      const std::int64_t b = next.fetch_add(1);
      if (b >= blocks) return;
      for (std::int64_t u = used.load(std::memory_order_acquire); u <= b - ahead;
           u = used.load(std::memory_order_acquire))
        used.wait(u);
      slot& s = ring[static_cast<std::size_t>(b % ahead)];
      s.out.clear();
      pick(b * block, count(b), s.out);
      s.ready.store(b, std::memory_order_release);
      s.ready.notify_all();
    }
  };
  std::vector<std::jthread> pickers;
  for (int t = 0; t < threads; ++t) pickers.emplace_back(picker);
  for (std::int64_t b = 0; b < blocks; ++b) {
    slot& s = ring[static_cast<std::size_t>(b % ahead)];
    for (std::int64_t r = s.ready.load(std::memory_order_acquire); r != b; r = s.ready.load(std::memory_order_acquire))
      s.ready.wait(r);
    use(b * block, static_cast<const std::vector<T>&>(s.out));
    used.store(b + 1, std::memory_order_release);
    used.notify_all();
  }
}

}  // namespace haloprof

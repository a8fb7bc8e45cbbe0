// How many threads a run may use, and how the passes share work between them without
// changing a bit: what each particle contributes is worked out in parallel, and whatever
// must follow file order (the sums) takes it in order.
//
// Threads are a help, never a need: a thread (or its memory) that cannot be had leaves the
// work to fewer threads, down to the calling one alone, with the same results. Each thread
// runs on a stack of its own that is given back when it is joined, and the memory the
// threads work in is taken before they start, so that what a run needs under a memory
// limit does not grow with the limit.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include <pthread.h>

namespace haloprof {

// The processors this process may run on (its CPU affinity), at least 1.
int usable_cores();

// Threads started one by one and all joined together (at the latest on destruction).
class thread_group {
 public:
  thread_group() = default;
  thread_group(const thread_group&) = delete;
  thread_group& operator=(const thread_group&) = delete;
  ~thread_group();

  // Starts a thread running `work`; false, starting nothing, when the system cannot.
  bool start(std::function<void()> work) noexcept;
  void join() noexcept;

 private:
  struct member {
    pthread_t id{};
    void* stack = nullptr;
    std::function<void()> work;
  };
  static void* run(void* self);
  std::vector<std::unique_ptr<member>> members_;
};

// Calls work(first, last) on up to `threads` threads at once for stretches that cover
// [0, n), each element in one stretch.
template <typename Work>
void in_stretches(int threads, std::int64_t n, const Work& work) {
  const std::int64_t t = std::max<std::int64_t>(1, std::min<std::int64_t>(threads, n / 65536));
  thread_group others;
  std::int64_t k = 1;
  for (; k < t; ++k)
    if (!others.start([&work, n, t, k] { work(n * k / t, n * (k + 1) / t); })) break;
  work(0, n / t);
  if (k < t) work(n * k / t, n);  // the stretches no thread could take
}

// Works through the elements [0, n) in blocks of `block`, on up to `threads` threads, and
// hands each block's result to `use` in order on the calling thread:
//   pick(first, count, out) appends to `out` what the elements [first, first + count)
//     contribute, at most one item per element (so it never needs more memory than `out`
//     holds already); it runs on any thread, several blocks at once;
//   use(first, out) runs on the calling thread, block after block in file order.
// The calling thread picks too whenever the block it is to use next is not ready, so that
// with one thread pick and use simply alternate. Two blocks per thread (64 in all at most)
// are picked ahead of the one in use.
template <typename T, typename Pick, typename Use>
void pick_in_order(int threads, std::int64_t n, std::int64_t block, const Pick& pick, const Use& use) {
  const std::int64_t blocks = (n + block - 1) / block;
  const auto count = [&](std::int64_t b) { return std::min(block, n - b * block); };

  // A ring of slots: block b is picked into slot b % ahead once block b - ahead is used.
  struct slot {
    std::vector<T> out;
    std::atomic<std::int64_t> ready{-1};  // the block whose result the slot holds
  };
  const std::int64_t ahead = threads <= 1 ? 1 : std::min<std::int64_t>(2 * static_cast<std::int64_t>(threads) + 2, 64);
  std::unique_ptr<slot[]> ring;
  try {
    ring = std::make_unique<slot[]>(static_cast<std::size_t>(ahead));
    for (std::int64_t k = 0; k < ahead; ++k)
      ring[static_cast<std::size_t>(k)].out.reserve(static_cast<std::size_t>(std::min(block, n)));
  } catch (const std::bad_alloc&) {
    if (ahead == 1) throw;
    return pick_in_order<T>(1, n, block, pick, use);  // one slot may still be had
  }
  std::atomic<std::int64_t> next{0};  // the next block to pick
  std::atomic<std::int64_t> used{0};  // blocks [0, used) are used; past `blocks` when stopped
  const auto pick_into_ring = [&](std::int64_t b) {
    slot& s = ring[static_cast<std::size_t>(b % ahead)];
    s.out.clear();
    pick(b * block, count(b), s.out);
    s.ready.store(b, std::memory_order_release);
    s.ready.notify_all();
  };
  const auto picker = [&] {
    for (;;) {
      const std::int64_t b = next.fetch_add(1);
      if (b >= blocks) return;
      for (std::int64_t u = used.load(std::memory_order_acquire); u <= b - ahead;
           u = used.load(std::memory_order_acquire))
        used.wait(u);
      if (used.load(std::memory_order_acquire) > blocks) return;  // stopped
      pick_into_ring(b);
    }
  };
  thread_group pickers;  // with this thread, `threads` in all
  for (int t = 1; t < threads; ++t)
    if (!pickers.start(picker)) break;
  try {
    for (std::int64_t b = 0; b < blocks; ++b) {
      slot& s = ring[static_cast<std::size_t>(b % ahead)];
      for (std::int64_t r = s.ready.load(std::memory_order_acquire); r != b;
           r = s.ready.load(std::memory_order_acquire)) {
        // Pick the next block no thread has taken, if the ring has room for it; else wait.
        std::int64_t c = next.load();
        if (c < blocks && c < b + ahead && next.compare_exchange_strong(c, c + 1)) {
          pick_into_ring(c);
          continue;
        }
        s.ready.wait(r);
      }
      use(b * block, static_cast<const std::vector<T>&>(s.out));
      used.store(b + 1, std::memory_order_release);
      used.notify_all();
    }
  } catch (...) {
    // Whatever `pick` or `use` threw: stop the pickers (none waits for a block no one will
    // use) and let the caller see it.
    used.store(blocks + 1 + ahead, std::memory_order_release);
    used.notify_all();
    pickers.join();
    throw;
  }
}

}  // namespace haloprof

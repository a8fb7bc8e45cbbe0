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
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
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
// are picked ahead of the one in use; where the memory for them cannot be had, one thread
// works alone. An exception from pick or use, on any thread, stops the others and is
// rethrown here.
template <typename T, typename Pick, typename Use>
void pick_in_order(int threads, std::int64_t n, std::int64_t block, const Pick& pick, const Use& use) {
  const std::int64_t blocks = (n + block - 1) / block;
  const auto count = [&](std::int64_t b) { return std::min(block, n - b * block); };

  // A ring of slots: block b is picked into slot b % ahead once block b - ahead is used.
  struct slot {
    std::vector<T> out;
    std::atomic<std::int64_t> ready{-1};  // the block whose result the slot holds
    std::exception_ptr error;             // what picking it threw
  };
  const std::int64_t ahead = threads <= 1 ? 1 : std::min<std::int64_t>(2 * static_cast<std::int64_t>(threads) + 2, 64);
  std::unique_ptr<slot[]> ring;
  try {
    ring = std::make_unique<slot[]>(static_cast<std::size_t>(ahead));
    for (std::int64_t k = 0; k < ahead; ++k)
      ring[static_cast<std::size_t>(k)].out.reserve(static_cast<std::size_t>(std::min(block, n)));
  } catch (const std::bad_alloc&) {
    if (ahead == 1) throw;
    ring.reset();  // every slot given back first: one slot alone may still be had
  }
  if (!ring) return pick_in_order<T>(1, n, block, pick, use);
  std::atomic<std::int64_t> next{0};  // the next block to pick
  std::atomic<std::int64_t> used{0};  // blocks [0, used) are used; past `blocks` when stopped
  const auto pick_into_ring = [&](std::int64_t b) {
    slot& s = ring[static_cast<std::size_t>(b % ahead)];
    s.out.clear();
    pick(b * block, count(b), s.out);
    s.ready.store(b, std::memory_order_release);
    s.ready.notify_all();
  };
  // A picker's exception is kept in its block's slot for the calling thread, which waits
  // for that block.
  constexpr std::int64_t failed = -2;
  const auto picker = [&] {
    for (;;) {
      const std::int64_t b = next.fetch_add(1);
      if (b >= blocks) return;
      for (std::int64_t u = used.load(std::memory_order_acquire); u <= b - ahead;
           u = used.load(std::memory_order_acquire))
        used.wait(u);
      if (used.load(std::memory_order_acquire) > blocks) return;  // stopped
      try {
        pick_into_ring(b);
      } catch (...) {
        slot& s = ring[static_cast<std::size_t>(b % ahead)];
        s.error = std::current_exception();
        s.ready.store(failed, std::memory_order_release);
        s.ready.notify_all();
        return;
      }
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
        if (r == failed) std::rethrow_exception(s.error);
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

// Whether the chain of a relay (below) has stopped before a piece, so that the piece's work is
// no longer wanted: a long piece asks now and then, and gives up.
class relay_stop {
 public:
  bool before(std::size_t piece) const { return piece > last_.load(std::memory_order_relaxed); }
  // The pieces after `piece` are not wanted.
  void after(std::size_t piece) {
    for (std::size_t l = last_.load(); piece < l && !last_.compare_exchange_weak(l, piece);) {
    }
  }

 private:
  std::atomic<std::size_t> last_{std::numeric_limits<std::size_t>::max()};
};

// Hands a value along the pieces [0, n) in order while the pieces are worked on up to
// `threads` threads at once (this one among them), worker w (0 to threads - 1) on one thread:
//   read(w, j, stop) -> Result: piece j's own work, several pieces at once; stop.before(j)
//     tells it that its result is no longer wanted;
//   pass(j, carry, result) -> bool: piece after piece in order, as soon as piece j is read and
//     piece j - 1 passed, with the value handed along (`first` into piece 0): updates it for
//     the pieces after j, or returns false to stop the chain there, so that the pieces after j
//     are not read (those started give up when they ask);
//   finish(w, j, in, result): after pass(j) ran (also when it stopped the chain), on the
//     thread that read piece j, with the value piece j got, while other pieces go on.
// An exception from any of them stops every piece; the first is rethrown here once every
// thread is joined. A thread that cannot be had leaves the work to fewer threads.
template <typename Carry, typename Read, typename Pass, typename Finish>
void relay_in_order(int threads, std::size_t n, const Carry& first, const Read& read, const Pass& pass,
                    const Finish& finish) {
  enum : int { waiting = 0, known = 1, stopped = 2 };
  struct slot {
    Carry carry{};
    std::atomic<int> state{waiting};
  };
  // Slot j holds the value piece j gets, once piece j - 1 has passed.
  const std::unique_ptr<slot[]> slots = std::make_unique<slot[]>(n + 1);
  slots[0].carry = first;
  slots[0].state.store(known);
  std::atomic<std::size_t> next{0};
  relay_stop stop;
  std::mutex error_lock;
  std::exception_ptr error;

  const auto stop_after = [&](std::size_t j) {
    stop.after(j);
    for (std::size_t k = j + 1; k <= n; ++k) {
      int expected = waiting;
      if (slots[k].state.compare_exchange_strong(expected, stopped)) slots[k].state.notify_all();
    }
  };
  const auto worker = [&](int w) {
    for (;;) {
      const std::size_t j = next.fetch_add(1);
      if (j >= n) return;
      if (stop.before(j)) continue;
      try {
        auto result = read(w, j, stop);
        slot& mine = slots[j];
        int state;
        while ((state = mine.state.load(std::memory_order_acquire)) == waiting) mine.state.wait(waiting);
        if (state == stopped) continue;
        const Carry in = mine.carry;
        Carry out = in;
        if (pass(j, out, result)) {
          slots[j + 1].carry = out;
          int expected = waiting;
          if (slots[j + 1].state.compare_exchange_strong(expected, known, std::memory_order_release))
            slots[j + 1].state.notify_all();
        } else {
          stop_after(j);
        }
        finish(w, j, in, result);
      } catch (...) {
        {
          const std::lock_guard hold(error_lock);
          if (!error) error = std::current_exception();
        }
        stop_after(0);
        return;
      }
    }
  };
  {
    thread_group helpers;
    for (int w = 1; w < threads; ++w)
      if (!helpers.start([&worker, w] { worker(w); })) break;
    worker(0);
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace haloprof

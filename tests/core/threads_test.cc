// The two ways work is shared between threads in file order: pick_in_order (what each block
// contributes, used block after block) and relay_in_order (a value handed along pieces).
// Each must give the serial result for every layout, stop when asked, pass on the first
// exception without hanging, and fall back to one thread when the memory for more cannot be had.
#include "core/threads.h"

#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// While `refuse_large` is set, allocations of at least that many bytes are refused beyond
// the first one alive, as a memory limit would refuse them.
std::atomic<std::size_t> refuse_large{0};
std::mutex large_lock;
std::vector<void*> large_alive;

void* allocate(std::size_t n) {
  const std::size_t limit = refuse_large.load();
  if (limit != 0 && n >= limit) {
    const std::lock_guard hold(large_lock);
    if (!large_alive.empty()) throw std::bad_alloc();
    void* p = std::malloc(n);
    if (p == nullptr) throw std::bad_alloc();
    large_alive.push_back(p);
    return p;
  }
  if (void* p = std::malloc(n > 0 ? n : 1)) return p;
  throw std::bad_alloc();
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  {
    const std::lock_guard hold(large_lock);
    std::erase(large_alive, p);
  }
  std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace haloprof {
namespace {

// Runs f, ending the process with a message should it hang: a hung join would otherwise
// stall the whole suite.
template <typename F>
void within_a_while(F f) {
  std::atomic<bool> done{false};
  std::thread watchdog([&done] {
    for (int i = 0; i < 3000 && !done.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done.load()) {
      std::fputs("hung: the threads never finished\n", stderr);
      std::_Exit(1);
    }
  });
  try {
    f();
  } catch (...) {
    done = true;
    watchdog.join();
    throw;
  }
  done = true;
  watchdog.join();
}

struct layout {
  int threads;
  std::int64_t items, block;
};
constexpr layout layouts[] = {{1, 0, 4},   {1, 10, 3},        {2, 1, 8},   {2, 1000, 7},
                              {3, 999, 1}, {4, 100000, 4096}, {8, 50, 64}, {33, 5000, 13}};

// Picks the multiples of 3 of each block; uses them in order.
TEST(PickInOrder, GivesTheSerialResultForEveryLayout) {
  for (const layout& l : layouts) {
    SCOPED_TRACE(::testing::Message() << l.threads << " threads, " << l.items << " items, blocks of " << l.block);
    std::vector<std::int64_t> used;
    std::int64_t next_block = 0;
    within_a_while([&] {
      pick_in_order<std::int64_t>(
          l.threads, l.items, l.block,
          [](std::int64_t first, std::int64_t count, std::vector<std::int64_t>& out) {
            for (std::int64_t i = first; i < first + count; ++i)
              if (i % 3 == 0) out.push_back(i);
          },
          [&](std::int64_t first, const std::vector<std::int64_t>& out) {
            EXPECT_EQ(next_block, first);
            next_block += l.block;
            used.insert(used.end(), out.begin(), out.end());
          });
    });
    std::vector<std::int64_t> want;
    for (std::int64_t i = 0; i < l.items; i += 3) want.push_back(i);
    EXPECT_EQ(want, used);
  }
}

TEST(PickInOrder, PassesOnAnExceptionFromEitherSideWithoutHanging) {
  for (const layout& l : layouts) {
    if (l.items < 2 * l.block) continue;
    for (const bool in_use : {false, true}) {
      SCOPED_TRACE(::testing::Message() << l.threads << " threads, " << l.items << " items, in "
                                        << (in_use ? "use" : "pick"));
      const std::int64_t bad = l.items / l.block / 2 * l.block;  // a block in the middle
      within_a_while([&] {
        EXPECT_THROW(pick_in_order<int>(
                         l.threads, l.items, l.block,
                         [&](std::int64_t first, std::int64_t, std::vector<int>&) {
                           if (!in_use && first == bad) throw std::runtime_error("pick");
                         },
                         [&](std::int64_t first, const std::vector<int>&) {
                           if (in_use && first == bad) throw std::runtime_error("use");
                         }),
                     std::runtime_error);
      });
    }
  }
}

TEST(PickInOrder, OneThreadWhenTheMemoryForMoreCannotBeHad) {
  constexpr std::int64_t block = std::int64_t{1} << 20;  // 8 MiB of results a slot: only one slot can be had
  std::int64_t total = 0;
  refuse_large = std::size_t{4} << 20;
  within_a_while([&] {
    pick_in_order<std::int64_t>(
        4, 3 * block, block,
        [](std::int64_t first, std::int64_t, std::vector<std::int64_t>& out) { out.push_back(first); },
        [&](std::int64_t, const std::vector<std::int64_t>& out) { total += out.front(); });
  });
  refuse_large = 0;
  EXPECT_EQ(0 + block + 2 * block, total);
}

// The pieces' values are j * j; the value handed along is their running sum.
TEST(RelayInOrder, HandsTheValueAlongInOrderAndStopsWhereAsked) {
  for (const int threads : {1, 2, 3, 8}) {
    for (const std::size_t pieces : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{50}}) {
      for (const std::size_t stop_at : {std::size_t{0}, pieces / 2, pieces}) {
        SCOPED_TRACE(::testing::Message() << threads << " threads, " << pieces << " pieces, stop at " << stop_at);
        std::vector<std::size_t> passed;
        std::vector<long> got_in(pieces, -1);
        std::atomic<int> finished{0};
        within_a_while([&] {
          relay_in_order(
              threads, pieces, 0L,
              [&](int, std::size_t j, const relay_stop& stop) {
                // A piece after the stop waits to be told it is no longer wanted.
                if (j > stop_at)
                  while (!stop.before(j)) std::this_thread::yield();
                return static_cast<long>(j * j);
              },
              [&](std::size_t j, long& sum, long value) {
                passed.push_back(j);
                sum += value;
                return j != stop_at;
              },
              [&](int, std::size_t j, long in, long) {
                got_in[j] = in;
                ++finished;
              });
        });
        std::vector<std::size_t> want;
        for (std::size_t j = 0; j < pieces && j <= stop_at; ++j) want.push_back(j);
        EXPECT_EQ(want, passed);
        EXPECT_EQ(static_cast<int>(want.size()), finished.load());
        long sum = 0;
        for (const std::size_t j : want) {
          EXPECT_EQ(sum, got_in[j]) << j;
          sum += static_cast<long>(j * j);
        }
      }
    }
  }
}

TEST(RelayInOrder, PassesOnAnExceptionWithoutHanging) {
  for (const int threads : {1, 2, 4}) {
    for (const int where : {0, 1, 2}) {  // in read, in pass, in finish
      SCOPED_TRACE(::testing::Message() << threads << " threads, thrown in step " << where);
      within_a_while([&] {
        EXPECT_THROW(relay_in_order(
                         threads, 40, 0,
                         [&](int, std::size_t j, const relay_stop&) {
                           if (where == 0 && j == 17) throw std::runtime_error("read");
                           return 0;
                         },
                         [&](std::size_t j, int&, int) {
                           if (where == 1 && j == 17) throw std::runtime_error("pass");
                           return true;
                         },
                         [&](int, std::size_t j, int, int) {
                           if (where == 2 && j == 17) throw std::runtime_error("finish");
                         }),
                     std::runtime_error);
      });
    }
  }
}

}  // namespace
}  // namespace haloprof

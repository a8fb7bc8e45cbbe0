#include "core/threads.h"

#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cerrno>

namespace haloprof {

int usable_cores() {
  // A set sized for the machine: a fixed cpu_set_t holds 1024 processors, and the call
  // fails outright on a kernel configured for more.
  const long configured = sysconf(_SC_NPROCESSORS_CONF);
  for (int room = configured > 1024 ? static_cast<int>(configured) : 1024; room <= (1 << 22); room *= 2) {
    cpu_set_t* const set = CPU_ALLOC(room);
    if (set == nullptr) return 1;
    const std::size_t size = CPU_ALLOC_SIZE(room);
    CPU_ZERO_S(size, set);
    const bool known = sched_getaffinity(0, size, set) == 0;
    const int n = known ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (known) return n > 0 ? n : 1;
    if (errno != EINVAL) return 1;  // EINVAL: the kernel's set is larger still
  }
  return 1;
}

void* thread_group::run(void* self) {
  static_cast<member*>(self)->work();
  return nullptr;
}

namespace {
// The threads' work is shallow: the deepest is the general number parser with its buffer.
constexpr std::size_t stack_size = std::size_t{1} << 20;
}  // namespace

bool thread_group::start(std::function<void()> work) noexcept {
  try {
    members_.reserve(members_.size() + 1);
    auto m = std::make_unique<member>();
    m->work = std::move(work);
    // A stack of our own, so that joining the thread gives its memory back.
    void* stack = mmap(nullptr, stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return false;
    pthread_attr_t attr;
    bool started = pthread_attr_init(&attr) == 0;
    if (started) {
      started = pthread_attr_setstack(&attr, stack, stack_size) == 0 &&
                pthread_create(&m->id, &attr, &thread_group::run, m.get()) == 0;
      pthread_attr_destroy(&attr);
    }
    if (!started) {
      munmap(stack, stack_size);
      return false;
    }
    m->stack = stack;
    members_.push_back(std::move(m));
    return true;
  } catch (...) {
    return false;
  }
}

thread_group::~thread_group() { join(); }

void thread_group::join() noexcept {
  for (const auto& m : members_) {
    pthread_join(m->id, nullptr);
    munmap(m->stack, stack_size);
  }
  members_.clear();
}

}  // namespace haloprof

#include "input/mapped_file.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>

#include "core/unique_fd.h"

namespace haloprof {
namespace {
// Pages are handed back in steps of this size: a madvise call per 16 MiB costs nothing.
constexpr std::size_t release_step = std::size_t{16} << 20;

// Reading a page of a mapping that lies wholly beyond the end of its file raises SIGBUS,
// which ends the process: so it goes when a snapshot is cut shorter while it is read. While
// a snapshot is mapped, a handler puts zero pages in place of the lost ones (from the
// faulting page to the end of the mapping, so a cut costs one fault) and notes it; the
// reading, in whichever thread, carries on over zeros and changed() tells afterwards.
// Faults anywhere else go to whatever handled SIGBUS before.
struct fault_guard {
  std::atomic<std::uintptr_t> first{0}, last{0};  // whole pages; empty while the slot is free
  std::atomic<bool> faulted{false};
};
constexpr int guard_slots = 8;  // snapshots mapped at once; beyond that a mapping goes unguarded
fault_guard guards[guard_slots];
std::atomic<std::uintptr_t> page_size{4096};
std::mutex guards_mutex;
int guards_in_use = 0;
struct sigaction before_guards {};

void on_sigbus(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;  // the interrupted code may be about to read it
  if (info->si_code > 0) {        // raised by an access, not sent by another process
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (fault_guard& g : guards) {
      const std::uintptr_t first = g.first.load(), last = g.last.load();
      if (at < first || at >= last) continue;
      const std::uintptr_t page = at & ~(page_size.load() - 1);
      // POSIX does not list mmap among the calls safe in a handler, but on Linux it is a plain
      // system call that takes no lock of the process's own, as safe here as write.
      if (mmap(reinterpret_cast<void*>(page), last - page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
          MAP_FAILED) {
        g.faulted.store(true);
        errno = saved_errno;
        return;
      }
    }
  }
  errno = saved_errno;
  if ((before_guards.sa_flags & SA_SIGINFO) != 0) {
    before_guards.sa_sigaction(sig, info, context);
  } else if (before_guards.sa_handler != SIG_DFL && before_guards.sa_handler != SIG_IGN) {
    before_guards.sa_handler(sig);
  } else {  // the default action, as if this handler had never been there
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);  // blocked in here: delivered as the handler returns
  }
}

int watch(const char* data, std::size_t size) {
  const std::lock_guard lock(guards_mutex);
  for (int i = 0; i < guard_slots; ++i) {
    fault_guard& g = guards[i];
    if (g.last.load() != 0) continue;
    if (guards_in_use++ == 0) {
      page_size.store(static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE)));
      struct sigaction sa {};
      sa.sa_sigaction = on_sigbus;
      sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
      sigemptyset(&sa.sa_mask);
      sigaction(SIGBUS, &sa, &before_guards);
    }
    const std::uintptr_t page = page_size.load();
    const auto first = reinterpret_cast<std::uintptr_t>(data);
    g.faulted.store(false);
    g.first.store(first);
    g.last.store((first + size + page - 1) & ~(page - 1));
    return i;
  }
  return -1;
}

void unwatch(int i) {
  const std::lock_guard lock(guards_mutex);
  guards[i].last.store(0);
  guards[i].first.store(0);
  if (--guards_in_use == 0) sigaction(SIGBUS, &before_guards, nullptr);
}

// Whether a file changed at `ctime` may change again within the same timestamp step: only
// then can a rewrite of the same size, its modification time put back, leave the times as
// they were. A file changed longer ago than the coarsest step of a local file system (2 s)
// gets a later change time from any change.
bool changed_lately(const timespec& ctime) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec - ctime.tv_sec <= 2;
}

// A watch on the file's own inode (through its descriptor, so that a rename or a new file
// at the path is no concern) that the kernel marks on every write and every truncation by
// anyone: a rewrite of the same size inside one timestamp step, which the times cannot
// tell, shows there. It makes no writer wait and needs no signal; the events are looked at
// after reading. It is taken only for a file changed lately: giving a watch back waits for
// the kernel's readers of watches to pass (some 15 ms). An invalid descriptor where the
// kernel refuses one (the limit on watches, say): the times and the size then tell alone.
unique_fd watch_writes(int fd) {
  unique_fd watcher(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!watcher) return watcher;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (inotify_add_watch(watcher.get(), self.c_str(), IN_MODIFY) < 0) watcher.reset();
  return watcher;
}

// Whether the watch saw a write (or lost count of its events).
bool written(int watcher) {
  alignas(inotify_event) char events[4096];
  const ssize_t n = read(watcher, events, sizeof events);
  if (n <= 0) return false;  // EAGAIN: nothing happened to the file
  for (ssize_t at = 0; at < n;) {
    const auto* e = reinterpret_cast<const inotify_event*>(events + at);
    if ((e->mask & (IN_MODIFY | IN_Q_OVERFLOW)) != 0) return true;
    at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
  }
  return false;
}
}  // namespace

mapped_file::~mapped_file() {
  if (guard_ >= 0) unwatch(guard_);
  if (data_ != nullptr) munmap(const_cast<char*>(data_), size_);
}

bool mapped_file::open(const std::string& path, std::string& error) {
  out_of_memory_ = false;
  // Without O_NONBLOCK, opening a FIFO would wait for a writer (and some devices for a
  // carrier) before the check below could refuse it; a regular file ignores the flag.
  unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = "is a directory";
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "is not a regular file (the snapshot is mapped into memory, so it must be a file)";
    return false;
  }
  // Watched before its times are taken for good, so that no write falls between the two.
  unique_fd writes;
  if (changed_lately(st.st_ctim)) {
    writes = watch_writes(fd.get());
    if (writes && fstat(fd.get(), &st) != 0) {
      error = std::strerror(errno);
      return false;
    }
  }
  // A mapping succeeds on files that read(2) would refuse; one read proves access.
  char probe;
  if (st.st_size > 0 && pread(fd.get(), &probe, 1, 0) < 0) {
    error = std::strerror(errno);
    return false;
  }
  if (st.st_size > 0) {
    const auto size = static_cast<std::size_t>(st.st_size);
    void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (p == MAP_FAILED) {
      out_of_memory_ = errno == ENOMEM;
      error = std::strerror(errno);
      return false;
    }
    data_ = static_cast<const char*>(p);
    size_ = size;
    released_ = data_;
    madvise(p, size_, MADV_SEQUENTIAL);
    guard_ = watch(data_, size_);
  }
  // Kept open, to tell afterwards whether the file changed while it was read.
  writes_ = std::move(writes);
  fd_ = std::move(fd);
  modified_ = st.st_mtim;
  status_changed_ = st.st_ctim;
  return true;
}

bool mapped_file::changed() const {
  if (guard_ >= 0 && guards[guard_].faulted.load()) return true;
  if (writes_ && !seen_write_) seen_write_ = written(writes_.get());
  if (seen_write_) return true;
  struct stat st {};
  if (!fd_ || fstat(fd_.get(), &st) != 0) return false;
  // The change time too: a program that rewrites a file and puts its modification time
  // back (as copies that keep times do) cannot set it.
  const auto same = [](const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
  return static_cast<std::size_t>(st.st_size) != size_ || !same(st.st_mtim, modified_) ||
         !same(st.st_ctim, status_changed_);
}

void mapped_file::release_before(const char* p) {
  if (p < released_) released_ = data_;  // a new pass, from the top
  if (data_ == nullptr || p - released_ < static_cast<std::ptrdiff_t>(release_step)) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto upto = reinterpret_cast<std::uintptr_t>(p) & ~(page - 1);
  const auto from = reinterpret_cast<std::uintptr_t>(released_) & ~(page - 1);
  if (upto > from) madvise(reinterpret_cast<void*>(from), upto - from, MADV_DONTNEED);
  released_ = reinterpret_cast<const char*>(upto);
}

}  // namespace haloprof

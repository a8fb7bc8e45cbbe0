#include "input/mapped_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace haloprof {
namespace {
// Pages are handed back in steps of this size: a madvise call per 16 MiB costs nothing.
constexpr std::size_t release_step = std::size_t{16} << 20;
}  // namespace

mapped_file::~mapped_file() {
  if (data_ != nullptr) munmap(const_cast<char*>(data_), size_);
}

bool mapped_file::open(const std::string& path, std::string& error) {
  out_of_memory_ = false;
  // Without O_NONBLOCK, opening a FIFO would wait for a writer (and some devices for a
  // carrier) before the check below could refuse it; a regular file ignores the flag.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    error = std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = "is a directory";
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = "is not a regular file (the snapshot is mapped into memory, so it must be a file)";
    ::close(fd);
    return false;
  }
  // A mapping succeeds on files that read(2) would refuse; one read proves access.
  char probe;
  if (st.st_size > 0 && pread(fd, &probe, 1, 0) < 0) {
    error = std::strerror(errno);
    ::close(fd);
    return false;
  }
  size_ = static_cast<std::size_t>(st.st_size);
  if (size_ > 0) {
    void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      out_of_memory_ = errno == ENOMEM;
      error = std::strerror(errno);
      size_ = 0;
      ::close(fd);
      return false;
    }
    data_ = static_cast<const char*>(p);
    released_ = data_;
    madvise(p, size_, MADV_SEQUENTIAL);
  }
  ::close(fd);
  return true;
}

void mapped_file::release_before(const char* p) {
  if (data_ == nullptr || p - released_ < static_cast<std::ptrdiff_t>(release_step)) return;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto upto = reinterpret_cast<std::uintptr_t>(p) & ~(page - 1);
  const auto from = reinterpret_cast<std::uintptr_t>(released_) & ~(page - 1);
  if (upto > from) madvise(reinterpret_cast<void*>(from), upto - from, MADV_DONTNEED);
  released_ = reinterpret_cast<const char*>(upto);
}

void mapped_file::release_all() {
  if (data_ == nullptr) return;
  madvise(const_cast<char*>(data_), size_, MADV_DONTNEED);
  released_ = data_;
}

}  // namespace haloprof

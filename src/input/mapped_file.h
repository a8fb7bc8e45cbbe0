// A snapshot file mapped read-only into memory and scanned front to back.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

#include "core/unique_fd.h"

namespace haloprof {

class mapped_file {
 public:
  mapped_file() = default;
  mapped_file(const mapped_file&) = delete;
  mapped_file& operator=(const mapped_file&) = delete;
  ~mapped_file();

  // Opens `path` read-only (never creating it, never waiting on a FIFO or a device) and maps
  // it. On failure returns false and sets `error` to the reason ("No such file or
  // directory", "is a directory", ...); out_of_memory() then tells whether the mapping was
  // refused for want of address space.
  bool open(const std::string& path, std::string& error);
  bool out_of_memory() const { return out_of_memory_; }

  const char* begin() const { return data_; }
  const char* end() const { return data_ + size_; }
  std::size_t size() const { return size_; }

  // Whether the file was cut shorter or written to since open(): its size, its modification
  // or change time differs, or the kernel saw a write to it. A page the file no longer holds
  // reads as zeros instead of ending the process (from any thread), so a reader can finish
  // its passes and ask this afterwards; whatever it read is then not to be trusted.
  bool changed() const;

  // Gives back the pages before `p` that a sequential scan has passed, so that resident
  // memory stays small however large the file. Reading them again is still allowed; a `p`
  // before the last one starts a new pass over the text.
  void release_before(const char* p);

 private:
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  const char* released_ = nullptr;
  unique_fd fd_;
  unique_fd writes_;                 // the kernel's watch for writes to the file, where it gives one
  mutable bool seen_write_ = false;  // the watch's events are gone once read: this keeps them
  int guard_ = -1;                   // the slot watching this mapping for faults, -1 for none
  timespec modified_{}, status_changed_{};
  bool out_of_memory_ = false;
};

}  // namespace haloprof

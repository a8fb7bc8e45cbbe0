// A progress bar for the reading passes over a large snapshot, on standard error.
#pragma once

#include <cstddef>
#include <iosfwd>

#include "input/progress.h"

namespace haloprof {

// Shown only when standard error is a terminal and the snapshot is large, so that scripts
// and logs see exactly the console lines and messages of a small run.
class progress_bar {
 public:
  // `err` is standard error's stream, `terminal` whether it is a terminal.
  progress_bar(std::ostream& err, bool terminal, std::size_t total);
  ~progress_bar() { clear(); }
  progress_bar(const progress_bar&) = delete;
  progress_bar& operator=(const progress_bar&) = delete;

  // `done` bytes of `total` scanned by `pass`.
  void show(read_pass pass, std::size_t done);
  // Erases the bar, leaving the cursor where it was before the bar.
  void clear();

  static constexpr std::size_t threshold = std::size_t{256} << 20;

 private:
  std::ostream& err_;
  std::size_t total_;
  bool enabled_;
  bool drawn_ = false;
  int last_percent_ = -1;
  read_pass last_pass_ = read_pass::counting;
};

}  // namespace haloprof

// A progress bar for the reading passes over a large snapshot, on standard error.
#pragma once

#include <cstddef>

namespace haloprof {

// Shown only when standard error is a terminal and the snapshot is large, so that scripts
// and logs see exactly the console lines and messages of a small run.
class progress_bar {
 public:
  explicit progress_bar(std::size_t total);
  ~progress_bar() { clear(); }
  progress_bar(const progress_bar&) = delete;
  progress_bar& operator=(const progress_bar&) = delete;

  // `pass` 1 is the counting pass (when the particles are counted first), 2 the loading
  // pass; `done` bytes of `total` scanned.
  void show(int pass, std::size_t done);
  // Erases the bar, leaving the cursor where it was before the bar.
  void clear();

  static constexpr std::size_t threshold = std::size_t{256} << 20;

 private:
  std::size_t total_;
  bool enabled_;
  bool drawn_ = false;
  int last_percent_ = -1;
  int last_pass_ = 0;
};

}  // namespace haloprof

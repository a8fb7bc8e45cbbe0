// A progress bar on standard error, for long work watched on a terminal.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

namespace haloprof {

// Drawn only when `shown` (the caller's choice: standard error is a terminal and the work is
// long), so that scripts and logs see exactly the console lines and messages.
class progress_bar {
 public:
  progress_bar(std::ostream& err, bool shown) : err_(err), enabled_(shown) {}
  ~progress_bar() { clear(); }
  progress_bar(const progress_bar&) = delete;
  progress_bar& operator=(const progress_bar&) = delete;

  // The work under way and the part of it done, from 0 to 1.
  void show(std::string_view what, double done);
  // Erases the bar, leaving the cursor where it was before the bar.
  void clear();

 private:
  std::ostream& err_;
  bool enabled_;
  bool drawn_ = false;
  int last_percent_ = -1;
  std::string last_what_;
};

}  // namespace haloprof

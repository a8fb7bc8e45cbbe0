#include "input/progress.h"

#include <cstdio>
#include <unistd.h>

namespace haloprof {

progress_bar::progress_bar(std::size_t total)
    : total_(total), enabled_(total > threshold && isatty(STDERR_FILENO) == 1) {}

void progress_bar::show(int pass, std::size_t done) {
  if (!enabled_) return;
  const int percent = static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total_));
  if (percent == last_percent_ && pass == last_pass_) return;
  last_percent_ = percent;
  last_pass_ = pass;
  constexpr int width = 40;
  char bar[width + 1];
  const int filled = percent * width / 100;
  for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
  bar[width] = '\0';
  std::fprintf(stderr, "\r%s [%s] %3d%%", pass == 1 ? "counting particles" : "loading particles ", bar, percent);
  std::fflush(stderr);
  drawn_ = true;
}

void progress_bar::clear() {
  if (!drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace haloprof

#include "app/progress_bar.h"

#include <algorithm>
#include <ostream>

namespace haloprof {

void progress_bar::show(std::string_view what, double done) {
  if (!enabled_) return;
  const int percent = static_cast<int>(100.0 * std::clamp(done, 0.0, 1.0));
  if (percent == last_percent_ && what == last_what_) return;
  last_percent_ = percent;
  last_what_ = what;
  constexpr int width = 40;
  const int filled = percent * width / 100;
  std::string line = "\r\033[K";  // the line erased first: a shorter name leaves nothing behind
  line.append(what).append(" [");
  line.append(static_cast<std::size_t>(filled), '#').append(static_cast<std::size_t>(width - filled), '.');
  const std::string number = std::to_string(percent);
  line.append("] ").append(3 - number.size(), ' ').append(number).append("%");
  err_ << line << std::flush;
  drawn_ = true;
}

void progress_bar::clear() {
  if (!drawn_) return;
  err_ << "\r\033[K" << std::flush;
  drawn_ = false;
}

}  // namespace haloprof

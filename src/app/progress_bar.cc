#include "app/progress_bar.h"

#include <ostream>
#include <string>

namespace haloprof {

progress_bar::progress_bar(std::ostream& err, bool terminal, std::size_t total)
    : err_(err), total_(total), enabled_(terminal && total > threshold) {}

void progress_bar::show(read_pass pass, std::size_t done) {
  if (!enabled_) return;
  const int percent = static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total_));
  if (percent == last_percent_ && pass == last_pass_) return;
  last_percent_ = percent;
  last_pass_ = pass;
  constexpr int width = 40;
  const int filled = percent * width / 100;
  std::string line = pass == read_pass::counting ? "\rcounting particles [" : "\rloading particles  [";
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

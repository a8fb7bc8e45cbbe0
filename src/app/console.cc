#include "app/console.h"

#include <ostream>

namespace haloprof {

void print_line(std::ostream& err, const std::string& line) {
  const std::string whole = line + '\n';
  err.write(whole.data(), static_cast<std::streamsize>(whole.size()));
  err.flush();
}

}  // namespace haloprof

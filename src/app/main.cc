// haloprof: the radial profile of one halo of an N-body snapshot.
// The snapshot's name is read from standard input; command-line arguments are ignored.
#include <exception>
#include <iostream>
#include <string>

#include "app/console.h"
#include "app/driver.h"

int main() {
  try {
    static haloprof::run_state data;  // lives for the whole run
    return haloprof::run(data, std::cin, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cout.flush();
    haloprof::print_line(std::cerr, std::string("haloprof: internal error: ") + e.what());
    return static_cast<int>(haloprof::exit_status::internal);
  }
}

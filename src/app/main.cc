// haloprof: the radial profile of one halo of an N-body snapshot.
// The snapshot's name is read from standard input; command-line arguments are ignored.
#include <unistd.h>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <optional>
#include <string>

#include "app/console.h"
#include "app/driver.h"

int main() {
  using haloprof::exit_status;
  const bool stdout_closed = haloprof::prepare_process();
  haloprof::console_buffer console(STDOUT_FILENO, stdout_closed ? EBADF : 0);
  std::ostream out(&console);
  haloprof::console_buffer errors(STDERR_FILENO, 0);
  std::ostream err(&errors);
  if (const std::optional<std::string> why = haloprof::stack_shortfall()) {
    haloprof::print_line(err, *why);
    return static_cast<int>(exit_status::memory);
  }
  int status = 0;
  try {
    static haloprof::run_state data;  // lives for the whole run
    status = haloprof::run(data, {std::cin, out, err, isatty(STDERR_FILENO) == 1});
  } catch (const std::bad_alloc&) {
    // Memory beyond the particle arrays (whose own failure is a stage's): the same class.
    // The line is written straight to the descriptor: the console's buffer may need memory.
    out.flush();
    err.flush();
    haloprof::write_line(STDERR_FILENO, "Allocation would exceed memory limit");
    return static_cast<int>(exit_status::memory);
  } catch (const std::exception& e) {
    out.flush();
    haloprof::print_line(err, std::string("haloprof: internal error: ") + e.what());
    return static_cast<int>(exit_status::internal);
  }
  // The report is written: the run is complete even though nobody could read its console.
  if (status == static_cast<int>(exit_status::ok) && console.error() != 0) {
    haloprof::print_line(err, std::string("cannot write to standard output: ") + std::strerror(console.error()) +
                                  " (the run is complete and its report was written)");
    status = static_cast<int>(exit_status::console_lost);
  }
  return status;
}

// How a stage or a reader reports failure: the exit status of its class and one line for
// standard error. Errors are values until main, which prints the line and exits.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace haloprof {

// Exit statuses, one per failure class, shared by haloprof and halocut (what each means to
// haloprof, then to halocut where it differs).
enum class exit_status : int {
  ok = 0,
  internal = 1,          // an unexpected failure inside the program
  no_file_name = 2,      // standard input supplied no snapshot name
  command_line = 2,      //   halocut: a wrong command line
  cannot_open = 3,       // a snapshot (or catalogue) cannot be opened or read
  bad_snapshot = 4,      // a snapshot's content is not what it must be; halocut: a catalogue
                         //   or a choice that cannot be cut too
  memory = 5,            // memory (or address space, or stack) that cannot be had
  report = 6,            // HaloProperties.dat cannot be written; halocut: its output
  radius = 7,            // a particle fell outside the 61 shells
  snapshot_changed = 8,  // the snapshot was cut shorter or written to while it was read
  console_lost = 9,      // a complete run, its files written, but standard output failed
};

// A fatal condition: the status to exit with and the one line to print on standard error.
struct failure {
  exit_status status;
  std::string message;
};

// What a stage returns: success, or the fatal condition that ends the run. Ask it with
// ok() or failed(); it has no conversion to bool, whose meaning would be a guess.
class [[nodiscard]] stage_status {
 public:
  stage_status() = default;                            // success
  stage_status(failure f) : failure_(std::move(f)) {}  // NOLINT: a failure is a status

  bool ok() const { return !failure_.has_value(); }
  bool failed() const { return failure_.has_value(); }
  // The failure; only when failed().
  const failure* operator->() const { return &*failure_; }

 private:
  std::optional<failure> failure_;
};

}  // namespace haloprof

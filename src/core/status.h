// How a stage or a reader reports failure: the exit status of its class and one line for
// standard error. Errors are values until main, which prints the line and exits.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace haloprof {

// Exit statuses, one per failure class.
enum class exit_status : int {
  ok = 0,
  internal = 1,        // an unexpected failure inside the program
  no_file_name = 2,    // standard input supplied no snapshot name
  cannot_open = 3,     // the snapshot cannot be opened or read
  bad_snapshot = 4,    // the snapshot's text is not a valid header and particle list
  memory = 5,          // the particle arrays, or the snapshot's mapping, cannot be had
  report = 6,          // HaloProperties.dat cannot be opened or written
  radius = 7,          // a particle fell outside the 61 shells
  snapshot_changed = 8,  // the snapshot was cut shorter or written to while it was read
  console_lost = 9,      // a complete run whose report was written, but standard output failed
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
  stage_status() = default;  // success
  stage_status(failure f) : failure_(std::move(f)) {}  // NOLINT: a failure is a status

  bool ok() const { return !failure_.has_value(); }
  bool failed() const { return failure_.has_value(); }
  // The failure; only when failed().
  const failure* operator->() const { return &*failure_; }

 private:
  std::optional<failure> failure_;
};

}  // namespace haloprof

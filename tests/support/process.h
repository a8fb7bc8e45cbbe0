// Running the built executables as a user would: in a directory of their own, with the
// answer to the prompt on standard input.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace haloprof::testing {

struct outcome {
  int status = -1;    // exit status, or -1 when killed by a signal
  int signal = 0;     // the signal that ended it, 0 when it exited
  long peak_kib = 0;  // its peak resident memory, KiB
  std::string out, err;
};

// How a child is started, beyond its arguments, directory and input.
struct child_options {
  // Resource limits set in the child before the program starts: {RLIMIT_FSIZE, bytes}, ...
  std::vector<std::pair<int, unsigned long>> limits;
  // Standard output and error: `captured` (kept in a file, returned by wait()), `closed`,
  // or a descriptor of the test's own (a pipe's end, a socket, a terminal, /dev/full).
  static constexpr int captured = -1, closed = -2;
  int out = captured, err = captured;
};

// A fresh directory under the system's temporary directory, removed on destruction.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& p);
void write_file(const std::filesystem::path& p, const std::string& text);

// A started process; wait() collects what it wrote.
class child {
 public:
  child(const std::vector<std::string>& argv, const std::filesystem::path& cwd, const std::string& input,
        const child_options& options = {});
  int pid() const { return pid_; }
  // Waits for the end, and collects what it wrote; with `most` set, kills it (SIGKILL) when
  // it runs longer than that.
  outcome wait(std::chrono::milliseconds most = {});

 private:
  int pid_ = -1;
  std::filesystem::path io_;
};

// Runs `argv` in `cwd` with `input` on standard input and waits for it.
outcome run_program(const std::vector<std::string>& argv, const std::filesystem::path& cwd, const std::string& input);

// Runs haloprof in `cwd`, answering the prompt with `input`.
outcome run_haloprof(const std::filesystem::path& cwd, const std::string& input, const child_options& options = {});

// The same, as the unprivileged user "nobody" when the tests run as root (so that file
// permissions apply); as the current user otherwise.
outcome run_haloprof_unprivileged(const std::filesystem::path& cwd, const std::string& input);

}  // namespace haloprof::testing

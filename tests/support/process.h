// Running the built executables as a user would: in a directory of their own, with the
// answer to the prompt on standard input.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace haloprof::testing {

struct outcome {
  int status = -1;  // exit status, or -1 when killed by a signal
  std::string out, err;
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
  child(const std::vector<std::string>& argv, const std::filesystem::path& cwd, const std::string& input);
  outcome wait();

 private:
  int pid_ = -1;
  std::filesystem::path io_;
};

// Runs `argv` in `cwd` with `input` on standard input and waits for it.
outcome run_program(const std::vector<std::string>& argv, const std::filesystem::path& cwd,
                    const std::string& input);

// Runs haloprof in `cwd`, answering the prompt with `input`.
outcome run_haloprof(const std::filesystem::path& cwd, const std::string& input);

// The same, as the unprivileged user "nobody" when the tests run as root (so that file
// permissions apply); as the current user otherwise.
outcome run_haloprof_unprivileged(const std::filesystem::path& cwd, const std::string& input);

}  // namespace haloprof::testing

#include "support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace haloprof::testing {
namespace fs = std::filesystem;

temp_dir::temp_dir() {
  std::string tmpl = (fs::temp_directory_path() / "haloprof-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

temp_dir::~temp_dir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

child::child(const std::vector<std::string>& argv, const fs::path& cwd, const std::string& input,
             const child_options& options) {
  // Standard streams go through files kept beside, not inside, the working directory.
  std::string tmpl = (fs::temp_directory_path() / "haloprof-io-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  io_ = tmpl;
  write_file(io_ / "in", input);
  // Everything the child needs is made before fork: after it, only system calls.
  const std::string in = io_ / "in", out = io_ / "out", err = io_ / "err", dir = cwd;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ != 0) return;
  const auto place = [](int fd, const std::string& file, int flags, int chosen) {
    if (chosen == child_options::closed) {
      close(fd);
    } else if (chosen >= 0) {
      dup2(chosen, fd);
    } else {
      const int f = open(file.c_str(), flags, 0644);
      dup2(f, fd);
      close(f);
    }
  };
  place(0, in, O_RDONLY, child_options::captured);
  place(1, out, O_WRONLY | O_CREAT | O_TRUNC, options.out);
  place(2, err, O_WRONLY | O_CREAT | O_TRUNC, options.err);
  for (const auto& [resource, value] : options.limits) {
    const rlimit limit{value, value};
    setrlimit(resource, &limit);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (chdir(dir.c_str()) == 0) execve(args[0], args.data(), environ);
  _exit(127);
}

outcome child::wait(std::chrono::milliseconds most) {
  outcome o;
  if (pid_ > 0) {
    int ws = 0;
    rusage used{};
    if (most.count() > 0) {
      const auto deadline = std::chrono::steady_clock::now() + most;
      while (wait4(pid_, &ws, WNOHANG, &used) == 0) {
        if (std::chrono::steady_clock::now() > deadline) kill(pid_, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    } else {
      while (wait4(pid_, &ws, 0, &used) < 0) {
      }
    }
    o.peak_kib = used.ru_maxrss;
    o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    o.signal = WIFSIGNALED(ws) ? WTERMSIG(ws) : 0;
  }
  o.out = read_file(io_ / "out");
  o.err = read_file(io_ / "err");
  std::error_code ec;
  fs::remove_all(io_, ec);
  return o;
}

outcome run_program(const std::vector<std::string>& argv, const fs::path& cwd, const std::string& input) {
  return child(argv, cwd, input).wait();
}

outcome run_haloprof(const fs::path& cwd, const std::string& input, const child_options& options) {
  return child({HALOPROF_EXE}, cwd, input, options).wait();
}

outcome run_haloprof_unprivileged(const fs::path& cwd, const std::string& input) {
  if (geteuid() != 0) return run_haloprof(cwd, input);
  // The directory must be reachable by that user (and stays unwritable if it was).
  fs::permissions(cwd,
                  fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec | fs::perms::owner_read |
                      fs::perms::group_read | fs::perms::others_read,
                  fs::perm_options::add);
  if ((fs::status(cwd).permissions() & fs::perms::owner_write) != fs::perms::none)
    fs::permissions(cwd, fs::perms::all, fs::perm_options::add);
  // A copy of the executable in a directory that user can reach: the build tree may lie
  // under a home directory closed to others.
  temp_dir bin;
  fs::copy_file(HALOPROF_EXE, bin / "haloprof");
  fs::permissions(bin.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  return run_program(
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", (bin / "haloprof").string()}, cwd,
      input);
}

}  // namespace haloprof::testing

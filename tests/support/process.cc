#include "support/process.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

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

child::child(const std::vector<std::string>& argv, const fs::path& cwd, const std::string& input) {
  // Standard streams go through files kept beside, not inside, the working directory.
  std::string tmpl = (fs::temp_directory_path() / "haloprof-io-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  io_ = tmpl;
  write_file(io_ / "in", input);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, (io_ / "in").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, (io_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, (io_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

outcome child::wait() {
  outcome o;
  if (pid_ > 0) {
    int ws = 0;
    while (waitpid(pid_, &ws, 0) < 0) {
    }
    o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
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

outcome run_haloprof(const fs::path& cwd, const std::string& input) {
  return run_program({HALOPROF_EXE}, cwd, input);
}

outcome run_haloprof_unprivileged(const fs::path& cwd, const std::string& input) {
  if (geteuid() != 0) return run_haloprof(cwd, input);
  // The directory must be reachable by that user (and stays unwritable if it was).
  fs::permissions(cwd, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec |
                           fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                  fs::perm_options::add);
  if ((fs::status(cwd).permissions() & fs::perms::owner_write) != fs::perms::none)
    fs::permissions(cwd, fs::perms::all, fs::perm_options::add);
  // A copy of the executable in a directory that user can reach: the build tree may lie
  // under a home directory closed to others.
  temp_dir bin;
  fs::copy_file(HALOPROF_EXE, bin / "haloprof");
  fs::permissions(bin.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  return run_program({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                      (bin / "haloprof").string()},
                     cwd, input);
}

}  // namespace haloprof::testing

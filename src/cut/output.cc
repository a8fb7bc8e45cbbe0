#include "cut/output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "core/shown.h"
#include "core/unique_fd.h"

namespace haloprof {
stage_status output_files::fail(const std::string& name, int error) const {
  return failure{exit_status::report, "cannot write '" + shown_name(dir_ + "/" + name) + "': " + std::strerror(error)};
}

stage_status output_files::open(const std::string& dir) {
  dir_ = dir.empty() ? "." : dir;
  // Each missing parent in turn, as mkdir -p does.
  for (std::size_t at = dir_.find('/', 1);; at = dir_.find('/', at + 1)) {
    const std::string part = dir_.substr(0, at);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
      return failure{exit_status::report, "cannot make directory '" + shown_name(part) + "': " + std::strerror(errno)};
    if (at == std::string::npos) break;
  }
  struct stat st {};
  if (stat(dir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return failure{exit_status::report, "cannot write to '" + shown_name(dir_) + "': not a directory"};
  return {};
}

output_files::~output_files() {
  for (const auto& [temporary, name] : pending_) ::unlink(temporary.c_str());
}

stage_status output_files::write(const std::string& name, const std::string& text) {
  const std::string temporary = dir_ + "/.halocut-" + std::to_string(getpid()) + "-" + name;
  const unique_fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) return fail(name, errno);
  {
    const std::lock_guard hold(lock_);
    pending_.emplace_back(temporary, name);
  }
  if (const int error = write_all(fd.get(), text); error != 0) return fail(name, error);
  if (fdatasync(fd.get()) != 0 && errno != EINVAL) return fail(name, errno);
  return {};
}

stage_status output_files::commit(bool (*earlier)(const std::string& name)) {
  // Each file takes its name by swapping places with the file that had it, which stays under
  // the temporary name until every file is in place, so that a rename failing half way (a
  // directory in the way, an immutable file) can put back what the names held before. A
  // file system that cannot swap has the earlier file replaced outright.
  enum class how : char { swapped, fresh, replaced };
  std::vector<how> placed;
  placed.reserve(pending_.size());
  for (const auto& [temporary, name] : pending_) {
    const std::string target = dir_ + "/" + name;
    struct stat st {};
    int error = 0;
    if (::lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      error = EISDIR;  // a swap would hide the directory under the temporary name
    } else if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
      placed.push_back(how::swapped);
      continue;
    } else if (errno != ENOENT && errno != EINVAL) {
      error = errno;
    } else if (const bool fresh = errno == ENOENT; ::rename(temporary.c_str(), target.c_str()) == 0) {
      placed.push_back(fresh ? how::fresh : how::replaced);
      continue;
    } else {
      error = errno;
    }
    for (std::size_t k = placed.size(); k-- > 0;) {
      const std::string& back = pending_[k].first;
      const std::string put = dir_ + "/" + pending_[k].second;
      if (placed[k] == how::swapped)
        ::renameat2(AT_FDCWD, back.c_str(), AT_FDCWD, put.c_str(), RENAME_EXCHANGE);
      else if (placed[k] == how::fresh)
        ::rename(put.c_str(), back.c_str());
    }
    return fail(name, error);
  }
  // Every name holds its new file: the files they replaced go, and an earlier cut's others.
  for (std::size_t k = 0; k < pending_.size(); ++k)
    if (placed[k] == how::swapped) ::unlink(pending_[k].first.c_str());
  std::set<std::string> written;
  for (const auto& entry : pending_) written.insert(entry.second);
  pending_.clear();
  if (DIR* d = ::opendir(dir_.c_str())) {
    std::vector<std::string> stale;
    while (const dirent* e = ::readdir(d))
      if (earlier(e->d_name) && !written.contains(e->d_name)) stale.emplace_back(e->d_name);
    ::closedir(d);
    for (const std::string& name : stale) ::unlink((dir_ + "/" + name).c_str());
  }
  // The names in the directory on stable storage too.
  const unique_fd d(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d && fsync(d.get()) != 0 && errno != EINVAL) return fail(".", errno);
  return {};
}

}  // namespace haloprof

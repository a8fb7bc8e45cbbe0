#include "properties/report.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <stop_token>
#include <system_error>
#include <thread>

#include "core/format.h"
#include "core/unique_fd.h"
#include "properties/binning.h"

namespace haloprof {
namespace {
constexpr float sphere_factor = 4.188f;      // stands in for 4*pi/3
constexpr float anum = mean_number_density;  // 160^3 particles per unit volume
constexpr float am1 = particle_mass;         // mass of one particle
}  // namespace

std::string compose_report(run_state& data) {
  std::string block = record()
                          .text("Z=")
                          .f(data.redshift, 8, 3)
                          .text(" Center= ")
                          .f(data.xc + data.x0, 9, 3)
                          .f(data.yc + data.y0, 9, 3)
                          .f(data.zc + data.z0, 9, 3)
                          .str();
  block += report_header;
  block += '\n';

  float ovd = 0;  // particles in the rows so far
  for (int i = 0; i <= run_state::ntab; ++i) {
    if (data.nprof[i] == 0) continue;
    const auto n = static_cast<double>(data.nprof[i]);
    data.dprof[i] = data.dprof[i] / n;
    data.vrms[i] = std::sqrt(data.vrms[i] / n);
    data.vrad[i] = data.vrad[i] / n;
    data.vrad2[i] = data.vrad2[i] / n;
    data.vtan[i] = std::sqrt(data.vtan[i] / n);

    const float r1 = static_cast<float>(i) * shell_width;
    const float r2 = static_cast<float>(i + 1) * shell_width;
    const float r1_cubed = (r1 * r1) * r1;
    const float r2_cubed = (r2 * r2) * r2;
    const float volume = sphere_factor * (r2_cubed - r1_cubed);
    const float av = volume * anum;  // count expected at the mean density
    // No guard: a shell without radial motion gives -Infinity (or NaN) as it stands.
    const auto beta = static_cast<float>(1 - (data.vtan[i] * data.vtan[i] * 0.5) / data.vrad2[i]);
    ovd = ovd + static_cast<float>(data.nprof[i]);
    const float amass = ovd * am1;
    const float overden = static_cast<float>(data.nprof[i]) / av;
    const float enclosed = ovd / ((r2_cubed * sphere_factor) * anum);

    block += record()
                 .f(r1, 8, 4)
                 .f(data.dprof[i], 8, 4)
                 .f(r2, 8, 4)
                 .i(data.nprof[i], 8)
                 .f(overden, 10, 3)
                 .f(enclosed, 10, 3)
                 .es(amass, 12, 4)
                 .f(data.vrms[i], 9, 2)
                 .f(data.vrad[i], 9, 2)
                 .f(data.vtan[i], 9, 2)
                 .f(beta, 9, 3)
                 .str();
  }
  return block;
}

report_appender::~report_appender() {
  if (fd_ >= 0) ::close(fd_);
}

stage_status report_appender::fail(const std::string& why) const {
  return failure{exit_status::report, "cannot write report '" + path_ + "': " + why};
}

stage_status report_appender::open(const std::string& path) {
  path_ = path;
  return open_file();
}

stage_status report_appender::open_file() {
  // O_NONBLOCK: opening a FIFO for writing would otherwise wait for a reader; with it the
  // open fails (ENXIO, as for a socket) or returns at once, and the check below refuses it.
  constexpr int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK;
  constexpr const char* not_regular = "is not a regular file";
  // Created only where missing, and then exclusively, so that the run knows the file is its
  // own: a run that fails removes a report it created and left empty. EEXIST: another run
  // created it meanwhile, or the path is a link to a missing file, created through it.
  created_ = false;
  fd_ = ::open(path_.c_str(), flags);
  if (fd_ < 0 && errno == ENOENT) {
    fd_ = ::open(path_.c_str(), flags | O_CREAT | O_EXCL, 0666);
    created_ = fd_ >= 0;
    if (fd_ < 0 && errno == EEXIST) fd_ = ::open(path_.c_str(), flags | O_CREAT, 0666);
  }
  if (fd_ < 0) return fail(errno == ENXIO ? not_regular : std::strerror(errno));
  struct stat st {};
  const bool known = fstat(fd_, &st) == 0;
  if (!known || !S_ISREG(st.st_mode)) {
    const std::string why = known ? not_regular : std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    return fail(why);
  }
  return {};
}

void report_appender::remove_if_own_and_empty() {
  if (!created_) return;
  struct stat held {};
  struct stat at_path {};
  if (fstat(fd_, &held) == 0 && held.st_size == 0 && stat(path_.c_str(), &at_path) == 0 &&
      at_path.st_dev == held.st_dev && at_path.st_ino == held.st_ino)
    ::unlink(path_.c_str());
}

stage_status report_appender::lock() {
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return {};
  // Held by another run. Whoever asked hears once, after a second, that the run waits.
  // The notice's thread is joined before this returns.
  std::jthread notice;
  if (waiting_ && !told_waiting_) {
    try {
      notice = std::jthread([this](std::stop_token stop) {
        std::mutex m;
        std::condition_variable_any wake;
        std::unique_lock hold(m);
        wake.wait_for(hold, stop, std::chrono::seconds(1), [] { return false; });
        if (stop.stop_requested() || told_waiting_.exchange(true)) return;
        waiting_();
      });
    } catch (const std::system_error&) {
      // No thread to be had (a process or memory limit): the run waits without the notice.
    }
  }
  while (flock(fd_, LOCK_EX) != 0)
    if (errno != EINTR) return fail(std::string("cannot lock it: ") + std::strerror(errno));
  return {};
}

namespace {
// Whether the file has the append-only attribute (chattr +a): it cannot be cut back.
bool append_only(int fd) {
  struct statx x {};
  return statx(fd, "", AT_EMPTY_PATH, 0, &x) == 0 && (x.stx_attributes_mask & STATX_ATTR_APPEND) != 0 &&
         (x.stx_attributes & STATX_ATTR_APPEND) != 0;
}

// Whether the block can go in whole, checked before any of it is written, so that a block
// is either written whole or not begun. Returns 0 or the errno the write would end with:
// EFBIG when the file-size limit leaves no room for the block; ENOSPC (or EDQUOT) when its
// extent cannot be reserved on the disk. The extent is reserved only in a file that cannot
// be cut back (append-only): elsewhere a write cut short is cut back off, and a reservation
// would cost the sync a second commit of the file system's journal (some 10 ms on ext4).
// KEEP_SIZE reserves without changing the size, which append-only files allow; where the
// file system cannot reserve, the write tells.
int room_for(int fd, off_t size, std::size_t n) {
  rlimit most{};
  if (getrlimit(RLIMIT_FSIZE, &most) == 0 && most.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(size) + n > most.rlim_cur)
    return EFBIG;
  if (append_only(fd) && fallocate(fd, FALLOC_FL_KEEP_SIZE, size, static_cast<off_t>(n)) != 0 &&
      (errno == ENOSPC || errno == EDQUOT))
    return errno;
  return 0;
}

// The directory that holds the report's name: that of the file a link at the path leads to.
std::string directory_of(const std::string& path) {
  const std::unique_ptr<char, void (*)(void*)> real(realpath(path.c_str(), nullptr), std::free);
  const std::string file = real ? real.get() : path;
  const std::size_t slash = file.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}

// Puts the file's data and its name in its directory on stable storage; returns 0 or an
// errno. EINVAL says the file system cannot: there is nothing more to do. The directory is
// synced by every run, not only the one that created the file: that one may have been
// killed before its sync, or may still be waiting for the lock while this block goes in.
// A directory that cannot be opened (one that may be written but not read, a drop box) is
// synced with the rest of its file system.
int make_durable(int fd, const std::string& path) {
  if (fdatasync(fd) != 0 && errno != EINVAL) return errno;
  const int dfd = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return syncfs(fd) != 0 ? errno : 0;
  const int err = fsync(dfd) != 0 && errno != EINVAL ? errno : 0;
  ::close(dfd);
  return err;
}
}  // namespace

stage_status report_appender::append(const std::string& block) {
  // The lock keeps every block whole when many runs append to one file at once. A run that
  // waited may find the file replaced meanwhile (rewritten elsewhere and renamed over the
  // path, under the same lock), or removed: its block then belongs in the file now at the
  // path. Whatever keeps the run from confirming that the file it holds is the one at the
  // path (a link loop left there, a path through a file) means opening the path again,
  // which fails if the path leads nowhere: a block must not go into a removed file.
  struct stat st {};
  for (;;) {
    if (stage_status locked = lock(); locked.failed()) return locked;
    if (fstat(fd_, &st) != 0) return fail(std::strerror(errno));
    struct stat at_path {};
    if (stat(path_.c_str(), &at_path) == 0 && at_path.st_dev == st.st_dev && at_path.st_ino == st.st_ino) break;
    ::close(fd_);  // and with it the lock
    fd_ = -1;
    if (stage_status opened = open_file(); opened.failed()) return opened;
  }
  int err = room_for(fd_, st.st_size, block.size());
  const bool begun = err == 0;
  if (begun) err = write_all(fd_, block);
  if (err == 0) err = make_durable(fd_, path_);
  if (err != 0) {
    // Take what got in of the block back off, so that the file holds whole blocks only.
    // Should that fail too, the first error is still the one to report.
    if (begun) {
      [[maybe_unused]] const int cut = ftruncate(fd_, st.st_size);
    }
    remove_if_own_and_empty();
    flock(fd_, LOCK_UN);
    return fail(std::strerror(err));
  }
  flock(fd_, LOCK_UN);
  // The block is on disk already: an error from close could only repeat one of the sync's.
  ::close(fd_);
  fd_ = -1;
  return {};
}

stage_status findproperties(run_state& data, std::ostream& out, std::function<void()> waiting) {
  if (stage_status binned = bin_particles(data, out); binned.failed()) return binned;
  report_appender report(std::move(waiting));
  if (stage_status opened = report.open(report_file); opened.failed()) return opened;
  out << free_line().text("number-density= ").num(anum).str();
  return report.append(compose_report(data));
}

}  // namespace haloprof

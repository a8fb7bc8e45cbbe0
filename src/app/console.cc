#include "app/console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ostream>

namespace haloprof {

bool prepare_process() {
  bool stdout_closed = false;
  // In ascending order: a closed descriptor gets the lowest number free, its own.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) stdout_closed = true;
    const int parked = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (parked >= 0 && parked != fd) {
      dup2(parked, fd);
      ::close(parked);
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  return stdout_closed;
}

std::optional<std::string> stack_shortfall() {
  rlimit stack{};
  if (getrlimit(RLIMIT_STACK, &stack) != 0 || stack.rlim_cur == RLIM_INFINITY || stack.rlim_cur >= least_stack)
    return {};
  const rlimit raised{std::min<rlim_t>(least_stack, stack.rlim_max), stack.rlim_max};
  if (raised.rlim_cur > stack.rlim_cur && setrlimit(RLIMIT_STACK, &raised) == 0) stack = raised;
  if (stack.rlim_cur >= least_stack) return {};
  return "the stack limit (ulimit -s) of " + std::to_string(stack.rlim_cur / 1024) + " KiB is below the " +
         std::to_string(least_stack >> 10) + " KiB a run needs";
}

console_buffer::console_buffer(int fd, int lost) : fd_(fd), error_(lost), by_line_(isatty(fd) == 1) {}

console_buffer::~console_buffer() { drain(); }

console_buffer::int_type console_buffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  xsputn(&ch, 1);
  return c;
}

std::streamsize console_buffer::xsputn(const char* s, std::streamsize n) {
  pending_.append(s, static_cast<std::size_t>(n));
  if (pending_.size() >= 4096 || (by_line_ && std::memchr(s, '\n', static_cast<std::size_t>(n)) != nullptr)) drain();
  return n;
}

int console_buffer::sync() {
  drain();
  return 0;  // a lost console is no failure of the stream: the run goes on alike
}

void console_buffer::drain() {
  std::size_t done = 0;
  while (error_ == 0 && done < pending_.size()) {
    const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A non-blocking descriptor (inherited so from a parent) whose reader is behind:
      // wait for room, as a blocking write would.
      pollfd room{fd_, POLLOUT, 0};
      if (poll(&room, 1, -1) >= 0 || errno == EINTR) continue;
      errno = EAGAIN;
    }
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  pending_.clear();
}

void print_line(std::ostream& err, const std::string& line) {
  const std::string whole = line + '\n';
  err.write(whole.data(), static_cast<std::streamsize>(whole.size()));
  err.flush();
}

void write_line(int fd, std::string_view line) noexcept {
  char end = '\n';
  iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&end, 1}};
  while (::writev(fd, parts, 2) < 0 && errno == EINTR) {
  }
}

}  // namespace haloprof

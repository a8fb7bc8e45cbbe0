// The process around a run: its standard streams, and the signals that concern them.
#pragma once

#include <iosfwd>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>

namespace haloprof {

// Readies the process for a run that does not depend on its console: parks /dev/null on each
// of descriptors 0, 1 and 2 found closed (else the next file opened would take that number,
// and the report could become standard output), and ignores SIGPIPE and SIGXFSZ, so that a
// console nobody reads and a file-size limit give write errors (EPIPE, EFBIG) that the run
// handles, instead of ending it. Returns whether standard output was closed.
bool prepare_process();

// A run's deepest calls take about 24 KiB of the main thread's stack (the environment and
// the loader's share included): below `least_stack`, the soft stack limit is raised as far as
// the hard one allows. Returns the one-line message for a limit that stays below it, so that
// the run ends with a status rather than by a signal part way; nothing when the stack is ample.
inline constexpr unsigned long least_stack = 64ul << 10;
std::optional<std::string> stack_shortfall();

// Standard output (or error) for the console lines, written with write(2): at each line end
// when it is a terminal, otherwise when 4 KiB are pending or on a flush. A descriptor that is
// non-blocking is waited on when full. The first write that fails is remembered and all that
// follows dropped, so that the run goes on as if it had been read.
class console_buffer final : public std::streambuf {
 public:
  // `lost` is the errno to start with (EBADF for a descriptor found closed), 0 for none.
  console_buffer(int fd, int lost);
  ~console_buffer() override;
  console_buffer(const console_buffer&) = delete;
  console_buffer& operator=(const console_buffer&) = delete;

  // The errno of the first write that failed; 0 while everything went out.
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  void drain();
  int fd_;
  int error_;
  bool by_line_;
  std::string pending_;
};

// Writes `line` and its line end in one piece, so that the lines of runs sharing a log
// never mix.
void print_line(std::ostream& err, const std::string& line);

// The same straight to descriptor `fd` (one writev), allocating nothing: for the message of
// a run whose memory ran out.
void write_line(int fd, std::string_view line) noexcept;

}  // namespace haloprof

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/unique_fd.h"
#include "snapshot/formats.h"

namespace haloprof {
namespace {

constexpr unsigned char hdf5_signature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};

bool is_record_length(const unsigned char* b, std::uint32_t want) {
  const std::uint32_t little = b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  const std::uint32_t big = b[3] | b[2] << 8 | b[1] << 16 | static_cast<std::uint32_t>(b[0]) << 24;
  return little == want || big == want;
}

}  // namespace

stage_status sniff(const std::string& path, file_kind& kind) {
  const unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd || fstat(fd.get(), &st) != 0)
    return failure{exit_status::cannot_open, "cannot open '" + path + "': " + std::strerror(errno)};
  if (S_ISDIR(st.st_mode)) return failure{exit_status::cannot_open, "cannot open '" + path + "': is a directory"};
  if (!S_ISREG(st.st_mode))
    return failure{exit_status::cannot_open, "cannot open '" + path + "': is not a regular file"};
  unsigned char head[8] = {};
  const ssize_t n = pread(fd.get(), head, sizeof head, 0);
  if (n < 0) return failure{exit_status::cannot_open, "cannot read '" + path + "': " + std::strerror(errno)};
  kind = file_kind::text;
  if (n >= 4 && (is_record_length(head, 256) || is_record_length(head, 8))) kind = file_kind::gadget;
  // The signature stands at the start, or after a user block of 512 bytes times a power of two.
  for (off_t at = 0; at + 8 <= st.st_size; at = at == 0 ? 512 : 2 * at) {
    unsigned char sig[8];
    if (pread(fd.get(), sig, sizeof sig, at) == 8 && std::memcmp(sig, hdf5_signature, 8) == 0) {
      kind = file_kind::hdf5;
      break;
    }
  }
  return {};
}

stage_status open_snapshot(const std::string& path, std::unique_ptr<snapshot_reader>& reader, int threads) {
  file_kind kind{};
  if (stage_status s = sniff(path, kind); s.failed()) return s;
  switch (kind) {
    case file_kind::gadget:
      return open_gadget_snapshot(path, reader);
    case file_kind::hdf5:
      return open_hdf5_snapshot(path, reader);
    case file_kind::text:
      break;
  }
  return open_text_snapshot(path, reader, threads);
}

stage_status read_catalogue(const std::string& path, halo_catalogue& catalogue) {
  file_kind kind{};
  if (stage_status s = sniff(path, kind); s.failed()) return s;
  if (kind == file_kind::hdf5) return read_hdf5_catalogue(path, catalogue);
  if (kind == file_kind::gadget)
    return failure{exit_status::bad_snapshot, path + ": a Gadget snapshot, not a halo catalogue"};
  return read_text_catalogue(path, catalogue);
}

}  // namespace haloprof

// Any bytes as a simulation's snapshot and as a halo catalogue: the readers open it and read
// every particle, or fail with a one-line message, never reading out of bounds. The first
// byte chooses how the rest is read: as a snapshot (by content: Gadget-2 binary or text), or
// as a catalogue (AHF, Rockstar, a plain list).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "snapshot/catalogue.h"
#include "snapshot/snapshot.h"

namespace {

void check(const haloprof::stage_status& s) {
  if (s.failed() && (s->message.empty() || s->message.find('\n') != std::string::npos)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // HDF5 files are parsed by the HDF5 library, which is not ours to fuzz: the readers are.
  if (std::string_view(reinterpret_cast<const char*>(data), size).find("\x89HDF") != std::string_view::npos) return 0;
  // A file of the bytes, named as the readers are given files.
  const int fd = memfd_create("fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, data + 1, size - 1) != static_cast<ssize_t>(size - 1)) {
    close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (data[0] % 2 == 0) {
    std::unique_ptr<haloprof::snapshot_reader> reader;
    const haloprof::stage_status opened = haloprof::open_snapshot(path, reader);
    check(opened);
    if (opened.ok()) {
      const unsigned fields = haloprof::positions | haloprof::velocities | haloprof::masses | haloprof::ids;
      std::uint64_t seen = 0;
      check(reader->read(0x7f, fields, 1 + data[0] % 7, [&](const haloprof::particle_chunk& c) {
        if (c.pos.size() != 3 * c.n || c.vel.size() != 3 * c.n) std::abort();
        seen += c.n;
        return haloprof::stage_status();
      }));
    }
  } else {
    haloprof::halo_catalogue catalogue;
    check(haloprof::read_catalogue(path, catalogue));
  }
  close(fd);
  return 0;
}

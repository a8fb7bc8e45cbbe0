// halogen's Gadget-2 binary writer: Fortran unformatted records (a 4-byte length, the
// bytes, the length again), the 256-byte header first, then POS, VEL, ID and (when the mass
// table is left 0) MASS; format 2 puts a label record before each block.
#include <sys/stat.h>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "synthetic_snapshot.h"

namespace {

// Bytes for one file, in the byte order asked for, written out a few MiB at a time.
class emitter {
 public:
  emitter(FILE* f, bool big_endian) : f_(f), swap_(big_endian != (std::endian::native == std::endian::big)) {}

  void u32(std::uint32_t v) { put(swap_ ? __builtin_bswap32(v) : v); }
  void u64(std::uint64_t v) { put(swap_ ? __builtin_bswap64(v) : v); }
  void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
  void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
  void real(double v, bool wide) { wide ? f64(v) : f32(static_cast<float>(v)); }
  void bytes(const char* p, std::size_t n) {
    buf_.insert(buf_.end(), p, p + n);
    if (buf_.size() >= (std::size_t{4} << 20)) flush();
  }
  void zeros(std::size_t n) { buf_.insert(buf_.end(), n, 0); }

  // The label record format 2 puts before a block of `length` bytes.
  void label(const char (&name)[5], std::uint32_t length) {
    u32(8);
    bytes(name, 4);
    u32(length + 8);
    u32(8);
  }

  void flush() {
    if (error_ == 0 && !buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size())
      error_ = errno != 0 ? errno : EIO;
    buf_.clear();
  }
  int error() const { return error_; }

 private:
  template <typename T>
  void put(T v) {
    const auto* p = reinterpret_cast<const char*>(&v);
    bytes(p, sizeof v);
  }

  FILE* f_;
  bool swap_;
  std::vector<char> buf_;
  int error_ = 0;
};

// Writes particles [first, last) of s as one file of a snapshot of `files` files.
int write_file(FILE* f, const synthetic_snapshot& s, const gadget_options& o, std::size_t first, std::size_t last) {
  emitter e(f, o.big_endian);
  const std::size_t n = last - first, total = s.ids.size();
  const double a = 1.0 / (1.0 + s.redshift);
  const auto block = [&](const char(&name)[5], std::uint64_t bytes, const auto& values) {
    if (o.format == 2) e.label(name, static_cast<std::uint32_t>(bytes));
    e.u32(static_cast<std::uint32_t>(bytes));
    values();
    e.u32(static_cast<std::uint32_t>(bytes));
  };
  block("HEAD", 256, [&] {
    for (int t = 0; t < 6; ++t) e.u32(t == 1 ? static_cast<std::uint32_t>(n) : 0);  // npart
    for (int t = 0; t < 6; ++t) e.f64(t == 1 && !o.mass_block ? s.particle_mass : 0);
    e.f64(s.cosmological ? a : 0);  // time
    e.f64(s.cosmological ? s.redshift : 0);
    e.u32(0);                                                                           // flag_sfr
    e.u32(0);                                                                           // flag_feedback
    for (int t = 0; t < 6; ++t) e.u32(t == 1 ? static_cast<std::uint32_t>(total) : 0);  // npartTotal, low words
    e.u32(0);                                                                           // flag_cooling
    e.u32(static_cast<std::uint32_t>(o.files));
    e.f64(s.box);
    e.f64(s.omega0);
    e.f64(s.omega_lambda);
    e.f64(s.hubble);
    e.u32(0);  // flag_stellarage
    e.u32(0);  // flag_metals
    for (int t = 0; t < 6; ++t) e.u32(t == 1 ? static_cast<std::uint32_t>(std::uint64_t{total} >> 32) : 0);
    e.u32(0);  // flag_entropy_instead_u
    e.zeros(256 - 196);
  });
  const std::uint64_t real_bytes = o.double_positions ? 8 : 4;
  block("POS ", 3 * real_bytes * n, [&] {
    for (std::size_t i = 3 * first; i < 3 * last; ++i) e.real(s.pos[i], o.double_positions);
  });
  // Gadget stores u = v / sqrt(a) in a cosmological run.
  const double to_stored = s.cosmological ? 1.0 / std::sqrt(a) : 1.0;
  block("VEL ", 3 * real_bytes * n, [&] {
    for (std::size_t i = 3 * first; i < 3 * last; ++i) e.real(s.vel[i] * to_stored, o.double_positions);
  });
  block("ID  ", (o.long_ids ? 8 : 4) * n, [&] {
    for (std::size_t i = first; i < last; ++i)
      o.long_ids ? e.u64(s.ids[i]) : e.u32(static_cast<std::uint32_t>(s.ids[i]));
  });
  if (o.mass_block)
    block("MASS", real_bytes * n, [&] {
      for (std::size_t i = first; i < last; ++i) e.real(s.particle_mass, o.double_positions);
    });
  e.flush();
  return e.error();
}

void remove_regular(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) std::remove(path.c_str());
}

}  // namespace

bool write_gadget(const std::string& path, const synthetic_snapshot& s, const gadget_options& o, std::string& error) {
  const std::size_t total = s.ids.size();
  // A record's length is a 4-byte integer: a block must stay below 4 GiB in every file.
  const std::size_t widest = (o.double_positions ? 24 : 12) *
                             ((total + static_cast<std::size_t>(o.files) - 1) / static_cast<std::size_t>(o.files));
  if (widest > 0xffffffffu - 8) {
    error = "cannot write '" + path + "': a block of " + std::to_string(widest) +
            " bytes does not fit a record; write more files";
    return false;
  }
  std::vector<std::string> written;
  for (int k = 0; k < o.files; ++k) {
    const std::string name = o.files == 1 ? path : path + "." + std::to_string(k);
    FILE* f = std::fopen(name.c_str(), "wb");
    int failed = f == nullptr ? errno : 0;
    if (f != nullptr) {
      written.push_back(name);
      const auto files = static_cast<std::size_t>(o.files);
      failed = write_file(f, s, o, total * static_cast<std::size_t>(k) / files,
                          total * static_cast<std::size_t>(k + 1) / files);
      if (std::fclose(f) != 0 && failed == 0) failed = errno;
    }
    if (failed != 0) {
      for (const std::string& w : written) remove_regular(w);  // never a device such as /dev/full
      error = "cannot write '" + name + "': " + std::strerror(failed);
      return false;
    }
  }
  return true;
}

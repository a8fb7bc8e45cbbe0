// Gadget-2 binary snapshots: the files of a snapshot found and checked against each other
// when it is opened, the particles read in pieces at their blocks' offsets when asked for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "core/unique_fd.h"
#include "snapshot/formats.h"
#include "snapshot/gadget.h"

namespace haloprof {
namespace {
using namespace gadget;

// Values are read in pieces of this size into one buffer and widened from it: large enough
// that a read costs little per byte, small enough to stay in the caches.
constexpr std::size_t piece_bytes = std::size_t{4} << 20;

std::string number(std::uint64_t v) { return std::to_string(v); }

std::string shortest(double v) {
  char buf[32];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

std::string describe(const layout& l) {
  const bool big = (std::endian::native == std::endian::big) != l.swap;
  return "Gadget-2 format " + number(static_cast<unsigned>(l.format)) + (big ? ", big-endian" : ", little-endian");
}

// Opens a file of the snapshot; `missing` is what to say when it does not exist.
stage_status open_file(const std::string& path, const std::string& missing, unique_fd& fd, std::uint64_t& size) {
  fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd && errno == ENOENT && !missing.empty()) return failure{exit_status::bad_snapshot, path + ": " + missing};
  if (!fd || fstat(fd.get(), &st) != 0)
    return failure{exit_status::cannot_open, "cannot open '" + path + "': " + std::strerror(errno)};
  if (!S_ISREG(st.st_mode)) return failure{exit_status::cannot_open, "cannot open '" + path + "': not a regular file"};
  size = static_cast<std::uint64_t>(st.st_size);
  return {};
}

stage_status open_and_scan(const std::string& path, const std::string& missing, layout& l, bool first, file& f) {
  unique_fd fd;
  f.path = path;
  if (stage_status s = open_file(path, missing, fd, f.size); s.failed()) return s;
  unsigned char head[4] = {};
  if (f.size < 4)
    return failure{exit_status::bad_snapshot, path + ": not a Gadget snapshot: " + number(f.size) + " bytes"};
  if (stage_status s = read_at(fd.get(), f, head, 4, 0); s.failed()) return s;
  layout own;
  if (stage_status s = read_layout(path, head, own); s.failed()) return s;
  if (first)
    l = own;
  else if (own.format != l.format || own.swap != l.swap)
    return failure{exit_status::bad_snapshot, path + ": from another snapshot: written as " + describe(own) +
                                                  ", the first file as " + describe(l)};
  return scan_file(fd.get(), l, f);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The header facts every member of a multi-file snapshot shares with the first: the first
// that differs, described, or empty.
std::string header_difference(const header& a, const header& b) {
  if (a.num_files != b.num_files)
    return "a file count of " + std::to_string(b.num_files) + ", the first file's " + std::to_string(a.num_files);
  for (int t = 0; t < types; ++t) {
    const std::uint64_t ta = a.total_low[t] + (std::uint64_t{a.total_high[t]} << 32);
    const std::uint64_t tb = b.total_low[t] + (std::uint64_t{b.total_high[t]} << 32);
    if (ta != tb)
      return "a total of " + number(tb) + " type-" + number(static_cast<unsigned>(t)) +
             " particles, the first file's " + number(ta);
    if (!same_bits(a.mass[t], b.mass[t]))
      return "a type-" + number(static_cast<unsigned>(t)) + " mass of " + shortest(b.mass[t]) + ", the first file's " +
             shortest(a.mass[t]);
  }
  if (!same_bits(a.time, b.time)) return "time " + shortest(b.time) + ", the first file's " + shortest(a.time);
  if (!same_bits(a.box, b.box)) return "box size " + shortest(b.box) + ", the first file's " + shortest(a.box);
  return {};
}

// Converts n values from the file's bytes to the values handed out; one instance per
// width, byte order and destination, chosen once per block, so that the loop has no calls
// or branches in it and the compiler vectorises it.
template <typename Bits, typename Stored, bool swap, typename Out>
void widen(const unsigned char* in, std::size_t n, Out* out) {
  for (std::size_t i = 0; i < n; ++i) {
    Bits b;
    std::memcpy(&b, in + i * sizeof b, sizeof b);
    if constexpr (swap) {
      if constexpr (sizeof b == 4)
        b = __builtin_bswap32(b);
      else
        b = __builtin_bswap64(b);
    }
    Stored v;
    std::memcpy(&v, &b, sizeof v);
    out[i] = static_cast<Out>(v);
  }
}

template <typename Out>
using converter = void (*)(const unsigned char*, std::size_t, Out*);

converter<double> real_converter(unsigned width, bool swap) {
  if (width == 4) return swap ? widen<std::uint32_t, float, true, double> : widen<std::uint32_t, float, false, double>;
  return swap ? widen<std::uint64_t, double, true, double> : widen<std::uint64_t, double, false, double>;
}

converter<std::uint64_t> id_converter(unsigned width, bool swap) {
  if (width == 4)
    return swap ? widen<std::uint32_t, std::uint32_t, true, std::uint64_t>
                : widen<std::uint32_t, std::uint32_t, false, std::uint64_t>;
  return swap ? widen<std::uint64_t, std::uint64_t, true, std::uint64_t>
              : widen<std::uint64_t, std::uint64_t, false, std::uint64_t>;
}

class gadget_reader final : public snapshot_reader {
 public:
  gadget_reader(snapshot_info info, layout l, std::vector<file> files)
      : info_(std::move(info)), layout_(l), files_(std::move(files)) {}
  const snapshot_info& info() const override { return info_; }
  stage_status read(unsigned types_asked, unsigned fields, std::size_t chunk, const chunk_sink& use) override;

 private:
  // Reads `count` values of block b from value `first` on into `out`, piece by piece.
  template <typename Out>
  stage_status read_values(int fd, const file& f, const block& b, std::uint64_t first, std::size_t count, Out* out) {
    const std::uint64_t at = b.offset + first * b.width;
    if (b.width == 8 && !layout_.swap && sizeof(Out) == 8)  // as stored: straight into place
      return read_at(fd, f, out, count * 8, at);
    const auto convert = [&] {
      if constexpr (std::is_same_v<Out, double>)
        return real_converter(b.width, layout_.swap);
      else
        return id_converter(b.width, layout_.swap);
    }();
    const std::size_t per_piece = raw_.size() / b.width;
    for (std::size_t done = 0; done < count;) {
      const std::size_t m = std::min(per_piece, count - done);
      if (stage_status s = read_at(fd, f, raw_.data(), m * b.width, at + done * b.width); s.failed()) return s;
      convert(raw_.data(), m, out + done);
      done += m;
    }
    return {};
  }

  snapshot_info info_;
  layout layout_;
  std::vector<file> files_;
  std::vector<unsigned char> raw_;
};

stage_status gadget_reader::read(unsigned types_asked, unsigned fields, std::size_t chunk, const chunk_sink& use) {
  chunk = std::max<std::size_t>(chunk, 1);
  const auto asked = [&](int t) { return (types_asked >> t & 1u) != 0; };
  // Every block asked for must be there before the first chunk goes out.
  std::uint64_t largest = 0;
  for (const file& f : files_)
    for (int t = 0; t < types; ++t) {
      if (!asked(t) || f.head.npart[t] == 0) continue;
      largest = std::max<std::uint64_t>(largest, static_cast<std::uint64_t>(f.head.npart[t]));
      const auto need = [&](unsigned field, block_id b) -> stage_status {
        if ((fields & field) != 0 && !f.blocks[b].present)
          return failure{exit_status::bad_snapshot, f.path + ": no " + block_name(b) + " block"};
        return {};
      };
      if (stage_status s = need(positions, pos_block); s.failed()) return s;
      if (stage_status s = need(velocities, vel_block); s.failed()) return s;
      if (stage_status s = need(ids, id_block); s.failed()) return s;
      if (f.head.mass[t] == 0)
        if (stage_status s = need(masses, mass_block); s.failed()) return s;
    }
  const std::size_t n_max = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, largest));
  std::vector<double> pos, vel, mass;
  std::vector<std::uint64_t> id;
  try {
    if (fields & positions) pos.resize(3 * n_max);
    if (fields & velocities) vel.resize(3 * n_max);
    if (fields & masses) mass.resize(n_max);
    if (fields & ids) id.resize(n_max);
    raw_.resize(std::min(piece_bytes, 24 * n_max));
  } catch (const std::bad_alloc&) {
    return failure{exit_status::memory, "cannot have the memory for chunks of " + number(n_max) + " particles"};
  }

  std::array<std::uint64_t, types> before{};  // particles of each type in the files already read
  for (const file& f : files_) {
    unique_fd fd;
    std::uint64_t size = 0;
    if (stage_status s = open_file(f.path, "", fd, size); s.failed()) return s;
    if (size != f.size)
      return failure{exit_status::snapshot_changed, f.path + ": changed since it was opened: " + number(f.size) +
                                                        " bytes then, " + number(size) + " now"};
    for (int t = 0; t < types; ++t) {
      const auto count = static_cast<std::uint64_t>(f.head.npart[t]);
      if (!asked(t)) {
        before[t] += count;
        continue;
      }
      const bool own_masses = (fields & masses) != 0 && f.head.mass[t] == 0;
      for (std::uint64_t k = 0; k < count;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, count - k));
        const std::uint64_t i = f.first[t] + k;  // among the file's particles
        particle_chunk c;
        c.type = t;
        c.first = before[t] + k;
        c.n = n;
        if (fields & positions) {
          if (stage_status s = read_values(fd.get(), f, f.blocks[pos_block], 3 * i, 3 * n, pos.data()); s.failed())
            return s;
          c.pos = {pos.data(), 3 * n};
        }
        if (fields & velocities) {
          if (stage_status s = read_values(fd.get(), f, f.blocks[vel_block], 3 * i, 3 * n, vel.data()); s.failed())
            return s;
          c.vel = {vel.data(), 3 * n};
        }
        if (fields & ids) {
          if (stage_status s = read_values(fd.get(), f, f.blocks[id_block], i, n, id.data()); s.failed()) return s;
          c.id = {id.data(), n};
        }
        if (own_masses) {
          const std::uint64_t m = f.first_massive[t] + k;
          if (stage_status s = read_values(fd.get(), f, f.blocks[mass_block], m, n, mass.data()); s.failed()) return s;
          c.mass = {mass.data(), n};
        }
        if (stage_status s = use(c); s.failed()) return s;
        k += n;
      }
      before[t] += count;
    }
  }
  return {};
}

}  // namespace

stage_status open_gadget_snapshot(const std::string& path, std::unique_ptr<snapshot_reader>& reader) {
  layout l;
  std::vector<file> files(1);
  if (stage_status s = open_and_scan(path, "", l, true, files[0]); s.failed()) return s;
  const header head = files[0].head;  // a copy: files grows below
  for (int t = 0; t < types; ++t)
    if (!(head.mass[t] >= 0) || !std::isfinite(head.mass[t]))
      return failure{exit_status::bad_snapshot, path + ": header: mass[" + number(static_cast<unsigned>(t)) + "] is " +
                                                    shortest(head.mass[t]) +
                                                    ", expected 0 (masses in the MASS block) or a positive mass"};
  if (!(head.box >= 0) || !std::isfinite(head.box))
    return failure{exit_status::bad_snapshot,
                   path + ": header: BoxSize is " + shortest(head.box) + ", expected 0 (no box) or a positive side"};
  if (head.num_files < 0)
    return failure{exit_status::bad_snapshot, path + ": header: num_files is " + std::to_string(head.num_files)};
  // Writers of single-file snapshots may leave num_files at 0.
  const auto n_files = static_cast<std::uint64_t>(std::max(head.num_files, 1));
  if (n_files > 1) {
    if (!path.ends_with(".0"))
      return failure{exit_status::bad_snapshot, path + ": the header says the snapshot has " + number(n_files) +
                                                    " files, and this name does not end in .0 as the first one's does"};
    const std::string base = path.substr(0, path.size() - 1);
    const std::string missing = "missing: " + path + " names " + number(n_files) + " files";
    for (std::uint64_t k = 1; k < n_files; ++k) {
      file f;
      if (stage_status s = open_and_scan(base + number(k), missing, l, false, f); s.failed()) return s;
      if (const std::string d = header_difference(head, f.head); !d.empty())
        return failure{exit_status::bad_snapshot, f.path + ": from another snapshot: " + d};
      files.push_back(std::move(f));
    }
  }

  snapshot_info info;
  info.format = describe(l);
  // The files' own counts make the totals; a header's totals, where a writer filled them
  // in, must agree with them.
  std::array<std::uint64_t, types> total{};
  for (int t = 0; t < types; ++t) {
    total[t] = head.total_low[t] + (std::uint64_t{head.total_high[t]} << 32);
    for (const file& f : files) info.count[t] += static_cast<std::uint64_t>(f.head.npart[t]);
    info.mass_table[t] = head.mass[t];
  }
  if (std::any_of(total.begin(), total.end(), [](std::uint64_t n) { return n != 0; }))
    for (int t = 0; t < types; ++t)
      if (total[t] != info.count[t])
        return failure{exit_status::bad_snapshot,
                       path + ": the header's total of type-" + number(static_cast<unsigned>(t)) + " particles is " +
                           number(total[t]) + ", the " + number(files.size()) +
                           (files.size() == 1 ? " file holds " : " files hold ") + number(info.count[t])};
  for (const file& f : files) info.files.push_back(f.path);
  info.time = head.time;
  info.redshift = head.redshift;
  info.box = head.box;
  // Nothing in the file says whether the run was cosmological: a scale factor in (0, 1]
  // that agrees with the redshift says so.
  info.cosmological = head.time > 0 && head.time <= 1 && std::fabs((1 + head.redshift) * head.time - 1) <= 1e-5;
  info.velocity_factor = info.cosmological ? std::sqrt(head.time) : 1.0;
  if (head.hubble > 0) info.hubble = head.hubble;
  try {
    reader = std::make_unique<gadget_reader>(std::move(info), l, std::move(files));
  } catch (const std::bad_alloc&) {
    return failure{exit_status::memory, path + ": cannot have the memory for the snapshot's description"};
  }
  return {};
}

}  // namespace haloprof

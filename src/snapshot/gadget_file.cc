// The layout of one Gadget-2 binary file: Fortran unformatted records (a 4-byte length,
// the bytes, the same length again), the header first, then the blocks — in a fixed order
// (format 1) or each after a label record naming it (format 2).
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "core/shown.h"
#include "snapshot/gadget.h"

namespace haloprof::gadget {
namespace {

constexpr std::uint32_t header_bytes = 256;
constexpr std::uint32_t label_bytes = 8;

std::uint32_t load_u32(const unsigned char* b, bool swap) {
  std::uint32_t v;
  std::memcpy(&v, b, 4);
  return swap ? __builtin_bswap32(v) : v;
}

double load_f64(const unsigned char* b, bool swap) {
  std::uint64_t u;
  std::memcpy(&u, b, 8);
  if (swap) u = __builtin_bswap64(u);
  double v;
  std::memcpy(&v, &u, 8);
  return v;
}

std::string number(std::uint64_t v) { return std::to_string(v); }

failure bad(const file& f, const std::string& what) { return failure{exit_status::bad_snapshot, f.path + ": " + what}; }

// One record: `length` bytes from `data`, the next record from `end`.
struct record {
  std::uint64_t data = 0, end = 0;
  std::uint32_t length = 0;
};

// Reads the record at `at`, named `name` in messages, checking both of its lengths.
stage_status read_record(int fd, const layout& l, const file& f, std::uint64_t at, std::string_view name, record& r) {
  const std::string block = "block " + std::string(name);
  unsigned char b[4];
  if (at + 4 > f.size)
    return bad(f, block + ": the file ends at offset " + number(at) + ", where the record length should be");
  if (stage_status s = read_at(fd, f, b, 4, at); s.failed()) return s;
  r.length = load_u32(b, l.swap);
  r.data = at + 4;
  r.end = r.data + r.length + 4;
  if (r.end > f.size)
    return bad(f, block + ": record length " + number(r.length) + " at offset " + number(at) +
                      " runs past the end of the file (" + number(f.size) + " bytes)");
  if (stage_status s = read_at(fd, f, b, 4, r.data + r.length); s.failed()) return s;
  if (const std::uint32_t after = load_u32(b, l.swap); after != r.length)
    return bad(f, block + ": record length " + number(r.length) + " before and " + number(after) + " after");
  return {};
}

void parse_header(const unsigned char* h, bool swap, header& out) {
  for (int t = 0; t < types; ++t) {
    out.npart[t] = static_cast<std::int32_t>(load_u32(h + 4 * t, swap));
    out.mass[t] = load_f64(h + 24 + 8 * t, swap);
    out.total_low[t] = load_u32(h + 96 + 4 * t, swap);
    out.total_high[t] = load_u32(h + 168 + 4 * t, swap);
  }
  out.time = load_f64(h + 72, swap);
  out.redshift = load_f64(h + 80, swap);
  out.num_files = static_cast<std::int32_t>(load_u32(h + 124, swap));
  out.box = load_f64(h + 128, swap);
  out.omega0 = load_f64(h + 136, swap);
  out.omega_lambda = load_f64(h + 144, swap);
  out.hubble = load_f64(h + 152, swap);
}

// Takes record r as block b of n particles with `values` values each, 4 or 8 bytes a value
// as its length tells.
stage_status set_block(file& f, block_id b, const record& r, std::uint64_t n, unsigned values, const char* whose) {
  const std::uint64_t single = 4 * values * n;
  if (r.length != single && r.length != 2 * single)
    return bad(f, "block " + std::string(block_name(b)) + ": " + number(r.length) + " bytes, expected " +
                      number(4 * values) + " or " + number(8 * values) + " for each of the header's " + number(n) +
                      whose + " (" + number(single) + " or " + number(2 * single) + ")");
  f.blocks[b] = block{true, r.data, r.length, r.length == single ? 4u : 8u};
  return {};
}

stage_status take_block(file& f, block_id b, const record& r) {
  switch (b) {
    case pos_block:
    case vel_block:
      return set_block(f, b, r, f.particles, 3, " particles");
    case id_block:
      return set_block(f, b, r, f.particles, 1, " particles");
    case mass_block:
    case block_count:
      break;
  }
  return set_block(f, b, r, f.massive, 1, " particles without a mass in the table");
}

// A format-2 label's name without its padding blanks, as it may be shown in a message.
std::string label_name(const unsigned char* b) {
  std::string_view name(reinterpret_cast<const char*>(b), 4);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  return shown_token(name);
}

}  // namespace

stage_status read_at(int fd, const file& f, void* buf, std::size_t n, std::uint64_t at) {
  auto* p = static_cast<unsigned char*>(buf);
  while (n > 0) {
    const ssize_t got = pread(fd, p, n, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return failure{exit_status::cannot_open, "cannot read '" + f.path + "': " + std::strerror(errno)};
    if (got == 0) return failure{exit_status::snapshot_changed, f.path + ": the file became shorter while it was read"};
    p += got;
    n -= static_cast<std::size_t>(got);
    at += static_cast<std::uint64_t>(got);
  }
  return {};
}

const char* block_name(block_id b) {
  static constexpr const char* names[] = {"POS", "VEL", "ID", "MASS"};
  return names[b];
}

stage_status read_layout(const std::string& path, const unsigned char first4[4], layout& l) {
  const std::uint32_t native = load_u32(first4, false), swapped = __builtin_bswap32(native);
  l.format = native == header_bytes || swapped == header_bytes ? 1 : 2;
  l.swap = swapped == header_bytes || swapped == label_bytes;
  if (native == header_bytes || native == label_bytes || l.swap) return {};
  return failure{exit_status::bad_snapshot, path + ": not a Gadget snapshot: its first record length is " +
                                                number(native) + ", expected 256 (the header) or 8 (a label)"};
}

stage_status scan_file(int fd, const layout& l, file& f) {
  std::uint64_t at = 0;
  record r;
  if (l.format == 2) {
    unsigned char label[label_bytes];
    if (stage_status s = read_record(fd, l, f, 0, "HEAD label", r); s.failed()) return s;
    if (r.length != label_bytes) return bad(f, "block HEAD label: record length " + number(r.length) + ", expected 8");
    if (stage_status s = read_at(fd, f, label, label_bytes, r.data); s.failed()) return s;
    if (std::memcmp(label, "HEAD", 4) != 0)
      return bad(f, "the first block is '" + label_name(label) + "', expected HEAD");
    at = r.end;
  }
  if (stage_status s = read_record(fd, l, f, at, "HEAD", r); s.failed()) return s;
  if (r.length != header_bytes) return bad(f, "block HEAD: record length " + number(r.length) + ", expected 256");
  unsigned char h[header_bytes];
  if (stage_status s = read_at(fd, f, h, header_bytes, r.data); s.failed()) return s;
  parse_header(h, l.swap, f.head);
  at = r.end;

  for (int t = 0; t < types; ++t) {
    if (f.head.npart[t] < 0)
      return bad(f, "header: npart[" + number(static_cast<unsigned>(t)) + "] is " + std::to_string(f.head.npart[t]));
    f.first[t] = f.particles;
    f.first_massive[t] = f.massive;
    const auto n = static_cast<std::uint64_t>(f.head.npart[t]);
    f.particles += n;
    if (f.head.mass[t] == 0) f.massive += n;
  }
  // Positions take 12 bytes a particle at least: a count the file cannot hold is refused
  // before any block is looked at.
  if (12 * f.particles > f.size)
    return bad(f, "header: " + number(f.particles) + " particles need at least " + number(12 * f.particles) +
                      " bytes of positions, more than the file's " + number(f.size));
  if (f.particles == 0) return {};

  const auto wanted = [&](block_id b) { return b != mass_block || f.massive > 0; };
  const auto all_found = [&] {
    for (int b = 0; b < block_count; ++b)
      if (wanted(static_cast<block_id>(b)) && !f.blocks[b].present) return false;
    return true;
  };
  if (l.format == 1) {
    // The fixed order; blocks after those needed (gas properties, ...) are never looked at.
    const char* before = "HEAD";
    for (int b = 0; b < block_count && wanted(static_cast<block_id>(b)); ++b) {
      const auto id = static_cast<block_id>(b);
      if (at == f.size)
        return bad(f, "block " + std::string(block_name(id)) + ": missing: the file ends after block " + before + " (" +
                          number(f.size) + " bytes)");
      if (stage_status s = read_record(fd, l, f, at, block_name(id), r); s.failed()) return s;
      if (stage_status s = take_block(f, id, r); s.failed()) return s;
      before = block_name(id);
      at = r.end;
    }
    return {};
  }
  // Format 2: blocks by name, unknown ones skipped by their lengths, until those needed are
  // found or the file ends.
  while (at < f.size && !all_found()) {
    unsigned char label[label_bytes];
    if (stage_status s = read_record(fd, l, f, at, "label at offset " + number(at), r); s.failed()) return s;
    if (r.length != label_bytes)
      return bad(f, "block label at offset " + number(at) + ": record length " + number(r.length) + ", expected 8");
    if (stage_status s = read_at(fd, f, label, label_bytes, r.data); s.failed()) return s;
    const std::string name = label_name(label);
    const std::uint32_t stated = load_u32(label + 4, l.swap);
    if (stage_status s = read_record(fd, l, f, r.end, name, r); s.failed()) return s;
    if (static_cast<std::uint64_t>(stated) != std::uint64_t{r.length} + 8)
      return bad(f, "block " + name + ": its label gives it " + number(stated) + " bytes, the record takes " +
                        number(std::uint64_t{r.length} + 8) + " with its lengths");
    for (int b = 0; b < block_count; ++b)
      if (name == block_name(static_cast<block_id>(b)) && !f.blocks[b].present) {
        if (stage_status s = take_block(f, static_cast<block_id>(b), r); s.failed()) return s;
      }
    at = r.end;
  }
  if (!f.blocks[pos_block].present) return bad(f, "no POS block");
  return {};
}

}  // namespace haloprof::gadget

// One file of a Gadget-2 binary snapshot: its header and where its blocks lie. Internal to
// the snapshot library (gadget_file.cc reads a file's layout, gadget.cc the particles).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/status.h"

namespace haloprof::gadget {

inline constexpr int types = 6;

// The 256-byte header, as the file has it (byte order already turned).
struct header {
  std::array<std::int32_t, types> npart{};  // this file's particles per type
  std::array<double, types> mass{};         // a type's mass; 0: its particles are in the MASS block
  double time = 0, redshift = 0;
  std::array<std::uint32_t, types> total_low{}, total_high{};  // the whole snapshot's counts
  std::int32_t num_files = 0;
  double box = 0, omega0 = 0, omega_lambda = 0, hubble = 0;
};

// The values of one block: `bytes` bytes at `offset`, `width` bytes each (4 or 8).
struct block {
  bool present = false;
  std::uint64_t offset = 0, bytes = 0;
  unsigned width = 4;
};

enum block_id : int { pos_block, vel_block, id_block, mass_block, block_count };

// How a snapshot's files are written: told by the first record length of the first file,
// and the same in every member.
struct layout {
  int format = 1;     // 1: blocks in a fixed order; 2: a label record before each block
  bool swap = false;  // the file's byte order is not this machine's
};

struct file {
  std::string path;
  std::uint64_t size = 0;
  header head;
  std::array<block, block_count> blocks{};
  std::array<std::uint64_t, types> first{};          // particles of the types before t, in this file
  std::array<std::uint64_t, types> first_massive{};  // the same among those in the MASS block
  std::uint64_t particles = 0, massive = 0;          // in all, and in the MASS block
};

// Tells the layout from the first four bytes of a file (256: the header; 8: a label),
// failing with bad_snapshot when they are neither in either byte order.
stage_status read_layout(const std::string& path, const unsigned char first4[4], layout& l);

// Reads the header of the open file `fd` (whose size is `size`) and finds its blocks,
// checking every record length against the file's size, the length after the record, the
// label's, and the counts of the header. Blocks a format-2 file does not have are left
// absent (an error only when they are asked for); in format 1 the fixed order requires
// POS, VEL and ID, and MASS when some particle of the file needs it.
stage_status scan_file(int fd, const layout& l, file& f);

// A block's name for messages: "POS", "VEL", "ID", "MASS".
const char* block_name(block_id b);

// Reads exactly n bytes of file f (open as fd) at `at`, which its size said it holds: a
// short read means the file was cut while it was read (snapshot_changed).
stage_status read_at(int fd, const file& f, void* buf, std::size_t n, std::uint64_t at);

}  // namespace haloprof::gadget

#include "input/load.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "core/threads.h"
#include "input/fast_records.h"
#include "input/records.h"

namespace haloprof {
namespace {

// A particle record takes at least 14 bytes: seven one-byte values, six separators and
// the line end (the file's last record may lack its line end).
constexpr std::int64_t min_record = 2 * column_count;

// The most particles the records starting in `bytes` of text can hold.
std::int64_t most_particles(std::int64_t bytes) { return (bytes + 1) / min_record + 1; }

// Has the kernel hand out the pages of the arrays for particles [i, upto) at once, rather
// than a page fault at a time. (Where the kernel cannot, the pages come by faults.)
void populate(float* const* column, std::int64_t i, std::int64_t upto) {
#if defined(MADV_POPULATE_WRITE)
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  for (int k = 0; k < column_count; ++k) {
    // Whole pages within the array only.
    const auto from = (reinterpret_cast<std::uintptr_t>(column[k] + i) + page - 1) & ~(page - 1);
    const auto to = reinterpret_cast<std::uintptr_t>(column[k] + upto) & ~(page - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
  }
#else
  (void)column, (void)i, (void)upto;
#endif
}

// Counting pass: every record before the end of the list (ends_list) counts, a damaged one
// too, so that the count agrees with the reading pass's stop.
struct counted_list {
  std::int64_t n = 0;
  const char* end = nullptr;  // where the list ends: the record that ends it, or the text's end
};
counted_list count_particles(scanner& s, const read_observer& observer, const char* text) {
  pacer pace(observer, read_pass::counting, text);
  counted_list c;
  for (;;) {
    s.skip_empty_records();
    c.end = s.position();
    if (ends_list(s)) return c;
    ++c.n;
    s.next_record();
    pace.at(s.position());
  }
}

// Why the reading of a stretch of the list stopped before its end.
enum class stop { none, end_of_list, broken, abandoned };

// What reading a stretch of the particle list found.
struct stretch_result {
  std::int64_t count = 0;  // particles read
  std::int64_t lines = 0;  // line ends passed before the stretch's end (or its stop)
  stop how = stop::none;
  const char* stop_at = nullptr;  // the record that ends the list, or the broken one
  float dmax = 0;                 // the highest density above zero, first of equals ...
  std::int64_t densest = -1;      // ... and its particle, counted from the stretch's first
};

// Where the records of the list are read into, and how.
struct reading {
  const char* text_begin;  // all of the text that may be read, for look-ahead
  const char* text_end;
  char line_end;         // '\n', or '\r' in a text that holds no line feed
  bool fast;             // plain records by bit operations
  bool populates_ahead;  // writes the particle arrays themselves: their pages are populated ahead
};

// A stretch read as a piece of the list, which gives up once the pieces before it have
// ended the list.
struct piece_of_list {
  const relay_stop* stop;
  std::size_t piece;
  bool unwanted() const { return stop->before(piece); }
};

// Reads the particle records that start in [first, last) into columns[k][0, capacity):
// the list ends at the first record that ends_list says ends it, and a broken record stops
// the reading too. Returns nothing about a record after the stop.
stretch_result read_stretch(const reading& how, const char* first, const char* last, float* const* columns,
                            std::int64_t capacity, pacer* pace, bool& overflow, const piece_of_list* piece = nullptr) {
  scanner s(first, last, 0, how.line_end);  // counts the lines passed
  fast_records fast(how.text_begin, how.text_end);
  stretch_result r;
  std::int64_t populated = 0;
  for (std::int64_t i = 0;; ++i) {
    s.skip_empty_records();
    if (s.at_end()) break;
    const char* record = s.position();
    const std::int64_t record_line = s.line();
    if (piece != nullptr && (i & 4095) == 0 && piece->unwanted()) {
      r.how = stop::abandoned;
      return r;
    }
    if (i == capacity) {
      // Only the end of the list may follow: the sizing rule (or the count) leaves no
      // room for more.
      if (!ends_list(s)) {
        overflow = true;
      } else {
        r.how = stop::end_of_list;
        r.stop_at = record;
      }
      r.lines = record_line;
      return r;
    }
    if (how.populates_ahead && i == populated) {
      populated = std::min(i + (std::int64_t{1} << 16), capacity);  // 256 KiB of each array
      populate(columns, i, populated);
    }
    if (const char* at = how.fast ? fast.read(record, columns, i) : nullptr) {
      s.finish_record(at);
    } else {
      if (ends_list(s)) {
        r.how = stop::end_of_list;
      } else if (read_particle(s, std::string(), columns, i).failed()) {
        r.how = stop::broken;
      }
      if (r.how != stop::none) {
        r.stop_at = record;
        r.lines = record_line;
        return r;
      }
    }
    // Strictly greater: the first of equal densities wins, and NaN never does.
    const float density = columns[static_cast<int>(column::dens)][i];
    if (density > r.dmax) {
      r.dmax = density;
      r.densest = i;
    }
    r.count = i + 1;
    if (pace != nullptr) pace->at(s.position());
  }
  r.lines = s.line();
  return r;
}

// The whole particle list read: the stretches' results joined in file order.
struct list_result {
  std::int64_t count = 0;
  stop how = stop::none;
  const char* stop_at = nullptr;
  std::int64_t stop_line = 0;  // the line of the record at stop_at
  float dmax = 0;
  std::int64_t densest = -1;  // index in the arrays
  bool overflow = false;
};

// Joins a stretch's result, read as particles from `offset` on, to the list so far.
void join(list_result& list, const stretch_result& r, std::int64_t offset, std::int64_t first_line) {
  list.count = offset + r.count;
  if (r.dmax > list.dmax) {  // the first stretch with the highest density keeps it
    list.dmax = r.dmax;
    list.densest = offset + r.densest;
  }
  if (r.how != stop::none) {
    list.how = r.how;
    list.stop_at = r.stop_at;
    list.stop_line = first_line + r.lines;
  }
}

// The first record start at or after p: pieces are cut there.
const char* record_start_from(const char* list, const char* p, const char* last, char line_end) {
  if (p <= list) return list;
  if (p >= last) return last;
  const void* nl = std::memchr(p - 1, line_end, static_cast<std::size_t>(last - (p - 1)));
  return nl == nullptr ? last : static_cast<const char*>(nl) + 1;
}

// Reads the list [list, last) in pieces on `threads` threads (this one among them). Each
// thread reads a piece into arrays of its own; once every piece before it is joined, its
// place in the particle arrays is known and its particles are copied there. Whatever
// depends on order (the first of equal densities, the end of the list, the first broken
// record and its line) is settled in the join, piece after piece; the pieces after the end
// of the list are not read. Returns nothing when not even this thread's arrays can be had,
// or when a piece's reading failed for want of memory (the list is then to be read in one
// stretch).
std::optional<list_result> read_in_pieces(const reading& how, const char* list, const char* last,
                                          std::int64_t list_line, float* const* column, std::int64_t capacity,
                                          int threads, std::size_t piece, const read_observer& observer) {
  const auto length = static_cast<std::size_t>(last - list);
  const std::size_t pieces = (length + piece - 1) / piece;
  const std::int64_t room = most_particles(static_cast<std::int64_t>(piece)) + 1;

  // Everything the threads work in is taken before they start (see core/threads.h).
  std::vector<std::unique_ptr<float[]>> arrays;  // one set of seven per thread
  try {
    arrays.reserve(static_cast<std::size_t>(threads));
    for (int t = 0; t < threads; ++t) arrays.emplace_back(new float[static_cast<std::size_t>(column_count * room)]);
  } catch (const std::bad_alloc&) {
    if (arrays.empty()) return std::nullopt;
  }
  const auto columns_of = [&](int w) {
    std::array<float*, column_count> c{};
    for (int k = 0; k < column_count; ++k)
      c[static_cast<std::size_t>(k)] = arrays[static_cast<std::size_t>(w)].get() + k * room;
    return c;
  };
  struct place {
    std::int64_t offset = 0, line = 0;  // where a piece's particles go, and the line it starts on
  };
  struct piece_read {
    stretch_result r;
    bool full = false;
    const char* end = nullptr;
  };
  // Arrays kept from piece to piece.
  const reading into_own{how.text_begin, how.text_end, how.line_end, how.fast, false};
  list_result list_read;  // joined piece after piece
  try {
    relay_in_order(
        static_cast<int>(arrays.size()), pieces, place{0, list_line},
        [&](int w, std::size_t j, const relay_stop& stop) {
          piece_read p;
          const char* first = record_start_from(list, list + j * piece, last, how.line_end);
          p.end = record_start_from(list, list + std::min(length, (j + 1) * piece), last, how.line_end);
          const piece_of_list mine{&stop, j};
          if (first < p.end)
            p.r = read_stretch(into_own, first, p.end, columns_of(w).data(), room, nullptr, p.full, &mine);
          return p;
        },
        [&](std::size_t, place& at, const piece_read& p) {
          if (p.full || at.offset + p.r.count > capacity) {
            list_read.overflow = true;
            return false;
          }
          join(list_read, p.r, at.offset, at.line);
          at.offset += p.r.count;
          at.line += p.r.lines;
          return p.r.how == stop::none;
        },
        [&](int w, std::size_t, const place& at, const piece_read& p) {
          if (p.full || at.offset + p.r.count > capacity) return;
          populate(column, at.offset, at.offset + p.r.count);
          const auto own = columns_of(w);
          for (int k = 0; k < column_count; ++k)
            std::memcpy(column[k] + at.offset, own[static_cast<std::size_t>(k)],
                        sizeof(float) * static_cast<std::size_t>(p.r.count));
          // This thread's pieces are joined in order: the text before this one's end is read.
          if (w == 0) {
            if (observer.progress)
              observer.progress(read_pass::loading, static_cast<std::size_t>(p.end - how.text_begin));
            if (observer.release) observer.release(p.end);
          }
        });
  } catch (const std::bad_alloc&) {  // no memory for a message, say: the list is read again in one stretch
    return std::nullopt;
  }
  return list_read;
}

// The length of a piece: about eight pieces per thread, so that the threads finish close
// together; at most 16 MiB of text in flight in all (each thread's arrays take twice its
// piece's length); at least 64 KiB, so that the joins cost nothing next to the reading.
std::size_t piece_length(std::size_t length, int threads) {
  const auto t = static_cast<std::size_t>(threads);
  std::size_t piece = std::min(length / (8 * t), (std::size_t{16} << 20) / t);
  return std::max(piece, std::size_t{64} << 10);
}

// Reads the particle list [list, last) into the arrays: in pieces on several threads when
// it is long enough, else in one stretch on this thread.
list_result read_list(const char* first, const char* list, const char* last, const char* text_end, char line_end,
                      std::int64_t list_line, float* const* column, std::int64_t capacity,
                      const read_observer& observer, const read_paths& paths) {
  const reading how{first, text_end, line_end, paths.fast_records, true};
  const auto length = static_cast<std::size_t>(last - list);
  const std::size_t piece = paths.piece_bytes > 0 ? paths.piece_bytes : piece_length(length, paths.threads);
  if (paths.threads > 1 && length > piece) {
    if (auto pieces = read_in_pieces(how, list, last, list_line, column, capacity, paths.threads, piece, observer))
      return *pieces;
  }
  list_result list_read;
  pacer pace(observer, read_pass::loading, first);
  bool overflow = false;
  join(list_read, read_stretch(how, list, last, column, capacity, &pace, overflow), 0, list_line);
  list_read.overflow = overflow;
  return list_read;
}

}  // namespace

stage_status allocate_particles(run_state& data, std::int64_t n) {
  // 4 bytes per element: from 2^62 elements on, the byte count no longer fits in 64 bits.
  if (n < 0 || n >= (std::int64_t{1} << 62))
    return failure{exit_status::memory, "Integer overflow when calculating the amount of memory to allocate"};
  const auto arrays = data.column_arrays();
  for (particle_array* a : arrays) {
    if (!a->allocate(n)) {
      // None kept: a smaller second attempt must have all the room the first one had.
      for (particle_array* b : arrays) b->clear();
      return failure{exit_status::memory, "Allocation would exceed memory limit"};
    }
  }
  return {};
}

stage_status load_snapshot(run_state& data, const char* first, const char* last, const std::string& file,
                           snapshot_findings& found, const read_observer& observer, read_paths paths) {
  found = {};
  const char line_end = line_end_of(first, last);
  // Finding no line feed took a pass over the whole text: it is not read again in that pass.
  if (line_end == '\r' && observer.release) observer.release(last);
  scanner s(first, last, 1, line_end);
  if (stage_status header = read_header(s, file, data.redshift); header.failed()) return header;
  found.redshift = data.redshift;

  const char* list = s.position();
  const std::int64_t list_line = s.line();

  // The arrays are sized from the text left before the particles are counted; memory that
  // no particle fills is never touched and takes no room. When that much cannot be had,
  // the particles are counted first and the arrays made just large enough; the list's end
  // is then known, and nothing after it is read again.
  std::int64_t capacity = most_particles(last - list);
  const char* list_end = last;
  bool counted = false;
  if (paths.count_first || allocate_particles(data, capacity).failed()) {
    const counted_list c = count_particles(s, observer, first);
    data.nhalos = c.n;
    found.count = c.n;
    list_end = c.end;
    if (stage_status arrays = allocate_particles(data, data.nhalos); arrays.failed()) return arrays;
    capacity = data.nhalos;
    counted = true;
  }

  const auto column = data.column_data();
  const list_result list_read =
      read_list(first, list, list_end, last, line_end, list_line, column.data(), capacity, observer, paths);
  if (list_read.overflow)
    return failure{exit_status::internal, file + ": more particle records than the text can hold"};
  if (list_read.how == stop::broken) {
    // Read the broken record again to name its line; the count found is that of the
    // counting pass, which goes on past the broken record.
    s.restart(list_read.stop_at, list_read.stop_line);
    if (!counted) {
      data.nhalos = list_read.count + count_particles(s, {}, first).n;
      found.count = data.nhalos;
      s.restart(list_read.stop_at, list_read.stop_line);
    }
    return read_particle(s, file, column.data(), list_read.count);
  }
  if (!counted) {
    data.nhalos = list_read.count;
    found.count = data.nhalos;
    // The room beyond the particles was never touched, but it counts against a limit on
    // the address space: give it back, so that the stages after this one have what they
    // would have had with arrays of the counted size.
    for (particle_array* a : data.column_arrays()) a->shrink(data.nhalos);
  }

  const std::int64_t ii = list_read.densest + 1;  // 1-based, 0 while there is none
  data.x0 = data.y0 = data.z0 = 0;
  if (ii > 0) {  // from the arrays themselves: shrinking them may have moved them
    data.x0 = static_cast<double>(data.xpar[ii - 1]);
    data.y0 = static_cast<double>(data.ypar[ii - 1]);
    data.z0 = static_cast<double>(data.zpar[ii - 1]);
  }
  found.loaded = true;
  found.dmax = list_read.dmax;
  found.densest = ii;
  return {};
}

void shift_origin(run_state& data) {
  in_stretches(data.threads, data.nhalos, [&](std::int64_t first, std::int64_t last) {
    // One axis at a time, through plain pointers, so that the compiler can use vectors.
    for (const auto& [a, origin] : {std::pair{&data.xpar, data.x0}, {&data.ypar, data.y0}, {&data.zpar, data.z0}}) {
      float* const v = a->data();
      for (std::int64_t i = first; i < last; ++i) v[i] = static_cast<float>(static_cast<double>(v[i]) - origin);
    }
  });
}

}  // namespace haloprof

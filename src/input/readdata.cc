#include "input/readdata.h"

#include <bit>
#include <cstring>
#include <istream>
#include <ostream>
#include <string_view>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

#include "core/format.h"
#include "input/mapped_file.h"
#include "input/number.h"
#include "input/progress.h"
#include "input/text_window.h"

namespace haloprof {
namespace {

constexpr std::string_view value_names[7] = {"x", "y", "z", "vx", "vy", "vz", "dens"};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// A token as it may be shown in a one-line message: printable, and not too long.
std::string shown(std::string_view t) {
  constexpr std::size_t most = 40;
  std::string s;
  for (std::size_t i = 0; i < t.size() && i < most; ++i) {
    const auto c = static_cast<unsigned char>(t[i]);
    if (c >= 0x20 && c < 0x7f) {
      s += static_cast<char>(c);
    } else {
      constexpr char hex[] = "0123456789abcdef";
      s += "\\x";
      s += hex[c >> 4];
      s += hex[c & 15];
    }
  }
  if (t.size() > most) s += "...";
  return s;
}

// The typed name as messages show it: control characters (C0, DEL, and C1 written as
// UTF-8) as \xHH, so that none reaches a terminal raw; other bytes as they are, so that
// names in UTF-8 read as typed. A very long name shows its start and its end.
std::string shown_name(std::string_view name) {
  constexpr std::size_t most = 256, kept = 120;
  std::string_view head = name, tail;
  if (name.size() > most) {
    // Cut between characters, not inside one (a UTF-8 continuation byte is 10xxxxxx).
    const auto continuation = [&](std::size_t i) { return (static_cast<unsigned char>(name[i]) & 0xc0) == 0x80; };
    std::size_t head_end = kept, tail_start = name.size() - kept;
    while (head_end > 0 && continuation(head_end)) --head_end;
    while (tail_start < name.size() && continuation(tail_start)) ++tail_start;
    head = name.substr(0, head_end);
    tail = name.substr(tail_start);
  }
  std::string s;
  const auto escape = [&s](std::string_view part) {
    const auto byte = [part](std::size_t i) { return static_cast<unsigned char>(part[i]); };
    for (std::size_t i = 0; i < part.size(); ++i) {
      const bool c1 = byte(i) == 0xc2 && i + 1 < part.size() && byte(i + 1) >= 0x80 && byte(i + 1) < 0xa0;
      const std::size_t escaped = c1 ? 2 : byte(i) < 0x20 || byte(i) == 0x7f ? 1 : 0;
      if (escaped == 0) s += part[i];
      for (std::size_t k = 0; k < escaped; ++k) {
        constexpr char hex[] = "0123456789abcdef";
        s += "\\x";
        s += hex[byte(i + k) >> 4];
        s += hex[byte(i + k) & 15];
      }
      if (escaped == 2) ++i;
    }
  };
  escape(head);
  if (name.size() > most) {
    s += "...";
    escape(tail);
  }
  return s;
}

// Walks the snapshot text record by record. Records are lines; line numbers count from 1.
class scanner {
 public:
  scanner(const char* first, const char* last) : p_(first), end_(last) {}

  const char* position() const { return p_; }
  std::int64_t line() const { return line_; }
  void restart(const char* p, std::int64_t line) { p_ = p; line_ = line; }

  const char* end() const { return end_; }
  bool at_end() const { return p_ == end_; }

  // Moves past the rest of a record whose values have been read up to `at`.
  void finish_record(const char* at) {
    p_ = at;
    if (*p_ == '\n') {
      ++p_;
      ++line_;
    } else {
      next_record();
    }
  }
  bool at_record_end() const { return p_ == end_ || *p_ == '\n'; }
  char peek() const { return *p_; }

  void skip_blanks() {
    while (p_ != end_ && is_blank(*p_)) ++p_;
  }

  // Moves to the start of the next record.
  void next_record() {
    const void* nl = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
    if (nl == nullptr) {
      p_ = end_;
    } else {
      p_ = static_cast<const char*>(nl) + 1;
      ++line_;
    }
  }

  // Passes over blanks and records that hold nothing else; stops at a value or the end.
  void skip_empty_records() {
    for (;;) {
      skip_blanks();
      if (p_ == end_ || *p_ != '\n') return;
      ++p_;
      ++line_;
    }
  }

  // Reads the value starting here as a number; false, with the value's text in `text`,
  // when it is not one.
  bool number(float& v, std::string_view& text) {
    const char* first = p_;
    const scanned_value r = scan_value(p_, end_, v);
    p_ = r.end;
    text = {first, static_cast<std::size_t>(p_ - first)};
    return r.ok;
  }

  // The value starting here: empty when a comma, slash or record end comes first.
  std::string_view token() {
    const char* first = p_;
    while (p_ != end_ && !ends_value(*p_)) ++p_;
    return {first, static_cast<std::size_t>(p_ - first)};
  }

  // Passes over the separator after a value: blanks, or one comma with blanks around it.
  void skip_separator() {
    skip_blanks();
    if (p_ != end_ && *p_ == ',') {
      ++p_;
      skip_blanks();
    }
  }

  // A label in apostrophes or quotation marks, a doubled quote standing for one; it ends
  // at the closing quote or, failing that, at the record's end.
  void skip_quoted() {
    const char quote = *p_++;
    while (p_ != end_ && *p_ != '\n') {
      if (*p_++ == quote) {
        if (p_ != end_ && *p_ == quote) {
          ++p_;
          continue;
        }
        return;
      }
    }
  }

 private:
  const char* p_;
  const char* end_;
  std::int64_t line_ = 1;
};

bool parse(std::string_view t, float& v) { return parse_float(t.data(), t.data() + t.size(), v); }

failure bad_snapshot(const std::string& file, std::int64_t line, const std::string& what) {
  return {exit_status::bad_snapshot, file + ":" + std::to_string(line) + ": " + what};
}

// Reads the header record: a label, then the redshift, which may stand on a later record
// when the header holds the label alone. Leaves the scanner at the start of the record
// after the one that supplied the redshift: the particle list begins there.
stage_status read_header(scanner& s, const std::string& file, float& redshift) {
  s.skip_empty_records();
  if (s.at_end())
    return failure{exit_status::bad_snapshot,
                   file + ": the file is empty: expected a header with a label and the redshift"};
  if (s.peek() == '\'' || s.peek() == '"')
    s.skip_quoted();
  else
    s.token();
  s.skip_separator();
  while (s.at_record_end()) {
    if (s.at_end())
      return bad_snapshot(file, s.line(), "the file ends after the header's label: expected the redshift");
    s.next_record();
    s.skip_blanks();
  }
  const std::int64_t line = s.line();
  const char* at = s.position();
  const std::string_view t = s.token();
  if (t.empty())
    return bad_snapshot(file, line, "expected the redshift after the label, found '" +
                                        std::string(1, *at) + "'");
  if (!parse(t, redshift))
    return bad_snapshot(file, line,
                        "expected the redshift (a number) after the label, found '" + shown(t) + "'");
  s.next_record();
  return {};
}

// Progress is reported about every 4 MiB of text, and pages already scanned are released.
class pacer {
 public:
  pacer(const scan_progress& progress, int pass) : progress_(progress), pass_(pass) {}
  void at(const char* p) {
    if (progress_ && p >= next_) {
      progress_(pass_, p);
      next_ = p + (std::size_t{4} << 20);
    }
  }

 private:
  const scan_progress& progress_;
  int pass_;
  const char* next_ = nullptr;
};

// The plain record form, read with bit operations from masks of the text: values
// separated by blanks only, all seven complete within 128 bytes of the record's start. The
// common shape, [-]digits[.digits] with at most eight digits, is converted seven values at
// a time; other number forms one by one. Anything else (commas, tabs, blank records, long
// values, the last bytes of the file, errors) is left to the general path, which reads the
// same values.
class fast_records {
 public:
  fast_records(const char* begin, const char* end) : begin_(begin), end_(end) {}

  // Reads the seven values of the record at p, value k into columns[k][i]; returns where
  // the last of them ends, or nullptr when the record is not in the plain form (some values
  // may then have been written). Records come in file order.
  const char* read(const char* p, float* const* columns, std::int64_t i) {
    // The masks and the digit reads (from 15 bytes before a value) must stay in the file.
    if (end_ - p < 160 || p - begin_ < 16) return nullptr;
    if ((base_ == nullptr || p < base_ || p >= limit_) && !classify_from(p)) return nullptr;
    const auto bit = static_cast<std::size_t>(p - base_);
    std::uint64_t value[2], stray[2];
    window(&masks::value, bit, value);
    window(&masks::stray, bit, stray);
    // A value starts where a value byte follows a separator and ends at the separator
    // after it (the byte before the record is a separator); the shifts carry from the low
    // half into the high half.
    const std::uint64_t after[2] = {value[0] << 1, (value[1] << 1) | (value[0] >> 63)};
    std::uint64_t starts[2] = {value[0] & ~after[0], value[1] & ~after[1]};
    std::uint64_t ends[2] = {~value[0] & after[0], ~value[1] & after[1]};
    short_batch batch;
    batch.record = p;
    int* const first = batch.first;
    int* const last = batch.last;
    for (int k = 0; k < values; ++k) {
      first[k] = take_lowest(starts);
      last[k] = take_lowest(ends);
    }
    const int stop = last[values - 1];
    if (stop < 0 || !ends_value(p[stop])) return nullptr;  // a NUL, say, belongs to the value
    if (any_before(stray, stop)) return nullptr;           // separators other than blanks
    // Values of the common shape are converted together; any other sends the record to
    // be read value by value.
    if (short_decimals(batch, values, columns, i)) return p + stop;
    return one_by_one(p, first, last, columns, i);
  }

 private:
  static constexpr int values = 7;
  static constexpr int chunk = 64;  // blocks of 64 bytes classified at a time

  // Values of other forms, each parsed on its own.
  const char* one_by_one(const char* p, const int* first, const int* last, float* const* columns, std::int64_t i) {
    for (int k = 0; k < values; ++k)
      if (!parse_token(p + first[k], p + last[k], end_, columns[k][i])) return nullptr;
    return p + last[values - 1];
  }

  // Whether a 128-bit mask has a bit set below position `stop`.
  static bool any_before(const std::uint64_t (&bits)[2], int stop) {
    return stop < 64 ? (bits[0] & ((std::uint64_t{1} << stop) - 1)) != 0
                     : bits[0] != 0 || (bits[1] & ((std::uint64_t{1} << (stop - 64)) - 1)) != 0;
  }

  // The position of the lowest set bit of a 128-bit mask, cleared; -1 when none is left.
  static int take_lowest(std::uint64_t (&bits)[2]) {
    if (bits[0] != 0) {
      const int at = std::countr_zero(bits[0]);
      bits[0] &= bits[0] - 1;
      return at;
    }
    if (bits[1] != 0) {
      const int at = std::countr_zero(bits[1]);
      bits[1] &= bits[1] - 1;
      return 64 + at;
    }
    return -1;
  }

  // What the reader needs of a 64-byte block of text, bit i for byte i.
  struct masks {
    std::uint64_t value;  // not a separator
    std::uint64_t stray;  // a separator other than a blank
  };

  // Classifies the blocks from the one that holds p on: up to `chunk` of them, and two
  // more, so that a window of 128 bits from any byte before limit_ lies within them.
  bool classify_from(const char* p) {
    base_ = begin_ + ((p - begin_) & ~std::ptrdiff_t{63});
    const std::ptrdiff_t n = std::min<std::ptrdiff_t>(chunk + 2, (end_ - base_) / 64);
    if (n < 3) return false;
    for (std::ptrdiff_t b = 0; b < n; ++b) {
      const window_masks m = classify_window(base_ + 64 * b);
      blocks_[b] = {~m.separator, m.stray};
    }
    limit_ = base_ + 64 * (n - 2);
    return p < limit_;
  }

  // The 128 bits of a mask from bit `bit` of the classified blocks on.
  void window(std::uint64_t masks::*mask, std::size_t bit, std::uint64_t (&bits)[2]) const {
    const std::size_t b = bit / 64;
    const int shift = static_cast<int>(bit % 64);
    const std::uint64_t x = blocks_[b].*mask, y = blocks_[b + 1].*mask, z = blocks_[b + 2].*mask;
    bits[0] = (x >> shift) | ((y << 1) << (63 - shift));
    bits[1] = (y >> shift) | ((z << 1) << (63 - shift));
  }

  const char* begin_;
  const char* end_;
  const char* base_ = nullptr;   // where the classified blocks start
  const char* limit_ = nullptr;  // windows may start before this
  masks blocks_[chunk + 2] = {};
};

// The general path for one particle record: any separators, blank records before it, and
// the error that names the line when the record is not seven numbers.
stage_status read_particle(scanner& s, const std::string& file, float* const columns[7], std::int64_t i) {
  s.skip_empty_records();
  for (int k = 0; k < 7; ++k) {
    if (k > 0) s.skip_separator();
    if (s.at_record_end())
      return bad_snapshot(file, s.line(), "expected 7 values (x y z vx vy vz dens), found " + std::to_string(k));
    if (s.peek() == '/' || s.peek() == ',')
      return bad_snapshot(file, s.line(),
                          std::string(s.peek() == '/' ? "a slash ends the record" : "an empty value") + " after " +
                              std::to_string(k) + " values: expected 7 values (x y z vx vy vz dens)");
    std::string_view t;
    if (!s.number(columns[k][i], t))
      return bad_snapshot(file, s.line(),
                          "value " + std::to_string(k + 1) + " (" + std::string(value_names[k]) +
                              ") is not a number: '" + shown(t) + "'" +
                              (t.find('*') != std::string_view::npos ? " (repeat counts are not supported)" : ""));
  }
  s.next_record();
  return {};
}

// Whether the record here (blank records passed over) starts with a number: the particle
// list ends at the first record that does not. Leaves the scanner where it was.
bool first_value_is_number(scanner& s) {
  if (plain_number_end(s.position(), s.end()) != nullptr) return true;
  if (s.at_end()) return false;
  const char* at = s.position();
  const std::int64_t line = s.line();
  float x;
  std::string_view text;
  const bool number = s.number(x, text) && !text.empty();
  s.restart(at, line);
  return number;
}

// Counting pass: a particle record is one whose first value is a number; the list ends at
// the end of the file or at the first record whose first value is anything else.
std::int64_t count_particles(scanner& s, const scan_progress& progress) {
  pacer pace(progress, 1);
  std::int64_t n = 0;
  for (;;) {
    s.skip_empty_records();
    if (!first_value_is_number(s)) return n;
    ++n;
    s.next_record();
    pace.at(s.position());
  }
}

// Has the kernel hand out the pages of the particle arrays for the next stretch of
// particles from i on, a stretch at a time rather than a page fault at a time; returns
// where the stretch ends. (Where the kernel cannot, the pages come by faults as before.)
std::int64_t populate(float* const* column, std::int64_t i, std::int64_t capacity) {
  constexpr std::int64_t stretch = 1 << 16;  // particles: 256 KiB of each array
  const std::int64_t upto = std::min(i + stretch, capacity);
#if defined(MADV_POPULATE_WRITE)
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  for (int k = 0; k < 7; ++k) {
    // Whole pages within the array only.
    const auto from = (reinterpret_cast<std::uintptr_t>(column[k] + i) + page - 1) & ~(page - 1);
    const auto to = reinterpret_cast<std::uintptr_t>(column[k] + upto) & ~(page - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
  }
#endif
  return upto;
}

}  // namespace

std::optional<std::string> read_file_name(std::istream& in) {
  std::string line;
  while (std::getline(in, line)) {
    std::size_t i = 0;
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i == line.size()) continue;
    const char c = line[i];
    if (c == ',') return std::nullopt;
    std::string name;
    if (c == '\'' || c == '"') {
      for (++i; i < line.size(); ++i) {
        if (line[i] == c) {
          if (i + 1 < line.size() && line[i + 1] == c) {
            name += c;
            ++i;
            continue;
          }
          break;
        }
        name += line[i];
      }
      while (!name.empty() && is_blank(name.back())) name.pop_back();
    } else {
      for (; i < line.size() && !is_blank(line[i]) && line[i] != ','; ++i) name += line[i];
    }
    if (name.empty()) return std::nullopt;
    return name;
  }
  return std::nullopt;
}

stage_status allocate_particles(run_state& data, std::int64_t n) {
  // 4 bytes per element: from 2^62 elements on, the byte count no longer fits in 64 bits.
  if (n < 0 || n >= (std::int64_t{1} << 62))
    return failure{exit_status::memory, "Integer overflow when calculating the amount of memory to allocate"};
  const auto arrays = {&data.xpar, &data.ypar, &data.zpar, &data.dens, &data.vx, &data.vy, &data.vz};
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
                           std::ostream& out, const scan_progress& progress, read_paths paths) {
  scanner s(first, last);
  if (stage_status header = read_header(s, file, data.redshift); header.failed()) return header;
  out << free_line().text("Redshift= ").num(data.redshift).str();

  const char* list = s.position();
  const std::int64_t list_line = s.line();

  // A particle record takes at least 14 bytes (seven values, six separators and the line
  // end), so the arrays can be sized from the text left before the particles are counted.
  // Memory that no particle fills is never touched and takes no room. When that much
  // cannot be had, the particles are counted first and the arrays made just large enough.
  const auto print_count = [&] {
    if (progress) progress(0, nullptr);
    out << free_line().text("Number of particles = ").num(data.nhalos).str();
  };
  const std::int64_t bound = (last - list) / 14 + 2;
  bool counted = false;
  if (paths.count_first || allocate_particles(data, bound).failed()) {
    data.nhalos = count_particles(s, progress);
    print_count();
    if (stage_status arrays = allocate_particles(data, data.nhalos); arrays.failed()) return arrays;
    counted = true;
  }

  s.restart(list, list_line);
  pacer pace(progress, 2);
  float* const column[7] = {data.xpar.data(), data.ypar.data(), data.zpar.data(), data.vx.data(),
                            data.vy.data(),   data.vz.data(),   data.dens.data()};
  float dmax = 0;
  data.x0 = data.y0 = data.z0 = 0;
  std::int64_t ii = 0;  // 1-based index of the densest particle, 0 while there is none
  fast_records fast(first, s.end());
  std::int64_t i = 0;
  std::int64_t populated = 0;
  const std::int64_t capacity = counted ? data.nhalos : bound;
  for (;; ++i) {
    if (i == populated) populated = populate(column, i, capacity);
    if (counted && i == data.nhalos) break;
    if (!counted && i == bound) return failure{exit_status::internal, file + ": more particle records than the text can hold"};
    s.skip_empty_records();
    const char* record_start = s.position();
    const std::int64_t record_line = s.line();
    if (const char* at = paths.fast_records ? fast.read(record_start, column, i) : nullptr) {
      s.finish_record(at);
    } else {
      if (!counted && !first_value_is_number(s)) break;  // the end of the particle list
      if (stage_status particle = read_particle(s, file, column, i); particle.failed()) {
        if (!counted) {
          // The count comes before the message, as when the particles are counted first.
          s.restart(record_start, record_line);
          data.nhalos = i + count_particles(s, {});
          print_count();
        }
        return particle;
      }
    }
    // Strictly greater: the first of equal densities wins, and NaN never does.
    if (column[6][i] > dmax) {
      dmax = column[6][i];
      ii = i + 1;
      data.x0 = column[0][i];
      data.y0 = column[1][i];
      data.z0 = column[2][i];
    }
    pace.at(s.position());
  }
  if (!counted) {
    data.nhalos = i;
    print_count();
  }

  if (progress) progress(0, nullptr);
  out << record()
             .text(" Center=")
             .f(data.x0, 9, 3)
             .f(data.y0, 9, 3)
             .f(data.z0, 9, 3)
             .text(" Max.density= ")
             .f(dmax, 9, 2)
             .text(" particle= ")
             .i(ii, 12)
             .str();
  return {};
}

void shift_origin(run_state& data) {
  // One axis at a time, through plain pointers, so that the compiler can use vectors.
  for (const auto& [a, origin] : {std::pair{&data.xpar, data.x0}, {&data.ypar, data.y0}, {&data.zpar, data.z0}}) {
    float* const v = a->data();
    for (std::int64_t i = 0; i < data.nhalos; ++i) v[i] = static_cast<float>(v[i] - origin);
  }
}

stage_status readdata(run_state& data, std::istream& in, std::ostream& out) {
  out << "Enter file name: " << std::flush;
  const std::optional<std::string> name = read_file_name(in);
  if (!name)
    return failure{exit_status::no_file_name,
                   "no snapshot file name given on standard input (expected a name such as halo.txt)"};
  const std::string display = shown_name(*name);
  if (name->find('\0') != std::string::npos)
    return failure{exit_status::cannot_open, "cannot open snapshot '" + display + "': the name holds a NUL character"};

  mapped_file file;
  std::string why;
  if (!file.open(*name, why)) {
    if (file.out_of_memory())
      return failure{exit_status::memory, "cannot map snapshot '" + display + "' into memory: " + why};
    return failure{exit_status::cannot_open, "cannot open snapshot '" + display + "': " + why};
  }

  progress_bar bar(file.size());
  int current_pass = 1;
  const scan_progress progress = [&](int pass, const char* at) {
    if (pass == 0) {  // a console line follows: take the bar off the terminal first
      bar.clear();
      return;
    }
    if (pass != current_pass) {  // the second pass starts again from the top
      file.release_all();
      current_pass = pass;
    }
    file.release_before(at);
    bar.show(pass, static_cast<std::size_t>(at - file.begin()));
  };
  stage_status result = load_snapshot(data, file.begin(), file.end(), display, out, progress);
  bar.clear();
  // Whatever was read from a file that changed meanwhile (a message about its text too) is void.
  if (file.changed())
    return failure{exit_status::snapshot_changed, "snapshot '" + display + "' changed while being read"};
  if (result.failed()) return result;

  shift_origin(data);
  return {};
}

}  // namespace haloprof

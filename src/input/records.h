// Finding the records of a snapshot and the values in them.
//
// Records are lines; line numbers count from 1. Values are separated by blanks (tabs and
// carriage returns count as blanks) or by a comma, with or without blanks around it. Two
// ways find them: `fast_records` reads the plain form (seven values separated by blanks or
// commas) with bit masks of the text; the `scanner` walks any record byte by byte and names the line of
// anything that is not seven numbers. Both give the same values.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/run_state.h"
#include "input/record_batch.h"
#include "input/text_window.h"

namespace haloprof {

// Whether c ends a value in a snapshot record: a blank, tab, carriage return, comma, slash
// or line feed.
inline bool ends_value(char c) {
  return c == ' ' || c == ',' || c == '\n' || c == '\t' || c == '\r' || c == '/';
}

// Whether c is a blank: a space, tab or carriage return (a line end written by Windows).
inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// A token as it may be shown in a one-line message: printable, and not too long.
std::string shown(std::string_view t);

// Walks the snapshot text [first, last) record by record.
class scanner {
 public:
  scanner(const char* first, const char* last, std::int64_t line = 1) : p_(first), end_(last), line_(line) {}

  const char* position() const { return p_; }
  std::int64_t line() const { return line_; }
  void restart(const char* p, std::int64_t line) {
    p_ = p;
    line_ = line;
  }

  bool at_end() const { return p_ == end_; }
  bool at_record_end() const { return p_ == end_ || *p_ == '\n'; }
  char peek() const { return *p_; }

  // Moves past the rest of a record whose values have been read up to `at`.
  void finish_record(const char* at);
  // Moves to the start of the next record.
  void next_record();
  void skip_blanks();
  // Passes over blanks and records that hold nothing else; stops at a value or the end.
  void skip_empty_records();
  // Reads the value starting here as a number; false, with the value's text in `text`,
  // when it is not one.
  bool number(float& v, std::string_view& text);
  // The value starting here: empty when a comma, slash or record end comes first.
  std::string_view token();
  // Passes over the separator after a value: blanks, or one comma with blanks around it.
  void skip_separator();
  // A label in apostrophes or quotation marks, a doubled quote standing for one; it ends
  // at the closing quote or, failing that, at the record's end.
  void skip_quoted();

 private:
  const char* p_;
  const char* end_;
  std::int64_t line_;
};

// Reads the header record: a label, then the redshift, which may stand on a later record
// when the header holds the label alone. Leaves the scanner at the start of the record
// after the one that supplied the redshift: the particle list begins there.
stage_status read_header(scanner& s, const std::string& file, float& redshift);

// The general path for one particle record, value k into columns[k][i]: blank records
// before it are passed over; the failure names the line when the record is not seven
// numbers.
stage_status read_particle(scanner& s, const std::string& file, float* const* columns, std::int64_t i);

// Whether the record here (blank records passed over) starts with a number: the particle
// list ends at the first record that does not. Leaves the scanner where it was.
bool first_value_is_number(scanner& s);

// Called now and then while a pass scans the text: pass 1 counts, pass 2 loads; `at` is
// how far the pass has come. Pass 0 (with a null `at`) announces a console line between
// the passes.
using scan_progress = std::function<void(int pass, const char* at)>;

// Reports a pass's progress about every 4 MiB of text.
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

// Counting pass: a particle record is one whose first value is a number; the list ends at
// the end of the text or at the first record whose first value is anything else.
std::int64_t count_particles(scanner& s, const scan_progress& progress);

// The plain record form, read with bit operations from masks of the text: values
// separated by blanks, or by a comma with or without blanks around it, all seven complete within 256
// bytes of the record's start. The common shape, [-]digits[.digits] with few digits, is
// converted seven values at a time; other number forms one by one. Anything else (tabs,
// empty values, blank records, long records, the last bytes of the file, errors) is left to
// the general path, which reads the same values. One reader serves one walk through the
// text, front to back.
class fast_records {
 public:
  // [begin, end) is all of the text that may be read, beyond the records walked too.
  fast_records(const char* begin, const char* end);

  // Reads the seven values of the record at p, value k into columns[k][i]; returns where
  // the last of them ends, or nullptr when the record is not in the plain form (some values
  // may then have been written).
  const char* read(const char* p, float* const* columns, std::int64_t i);

  static constexpr int words = 4;  // a record's masks: 256 bytes from its start

 private:
  static constexpr int values = 7;
  static constexpr int chunk = 64;  // blocks of 64 bytes classified at a time

  const char* one_by_one(const char* p, const int* first, const int* last, float* const* columns, std::int64_t i);
  bool classify_from(const char* p);
  // The W words of a mask from bit `bit` of the classified blocks on.
  template <int W>
  void window(std::uint64_t window_masks::*mask, std::size_t bit, std::uint64_t (&bits)[W]) const {
    const std::size_t b = bit / 64;
    const int shift = static_cast<int>(bit % 64);
    for (int w = 0; w < W; ++w) {
      const std::uint64_t x = blocks_[b + w].*mask, y = blocks_[b + w + 1].*mask;
      bits[w] = (x >> shift) | ((y << 1) << (63 - shift));
    }
  }
  // Where the seven values of the record at bit `bit` start and end, within W words of
  // masks: the end of the last, or -1 when it lies beyond, or -2 when a separator other
  // than a blank comes before it.
  template <int W>
  int bounds(std::size_t bit, short_batch& batch) const;
  int bounds_short(std::size_t bit, short_batch& batch) const;

  const char* begin_;
  const char* end_;
  const char* base_ = nullptr;   // where the classified blocks start
  const char* limit_ = nullptr;  // windows may start before this
  int batch_rest_ = 0;            // records to read value by value before trying the batch again
  classify_blocks_fn classify_;  // the active tier's
  window_masks blocks_[chunk + words] = {};  // the classified blocks, bit i for byte i
};

}  // namespace haloprof

// The grammar of a snapshot's records, read byte by byte: the general path, which reads
// any record and names the line of anything that is not a header or seven numbers.
//
// Records are lines; line numbers count from 1. Values are separated by blanks (tabs and
// carriage returns count as blanks) or by a comma, with or without blanks around it. A
// file's lines end with a line feed; in a file that holds none, a carriage return alone
// (as old Mac programs wrote) ends a line instead, and is then no blank.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/status.h"

namespace haloprof {

// Whether c ends a value in a snapshot record: a blank, tab, carriage return, comma, slash
// or line feed.
inline bool ends_value(char c) { return c == ' ' || c == ',' || c == '\n' || c == '\t' || c == '\r' || c == '/'; }

// Whether c is a blank: a space, tab or carriage return (a line end written by Windows).
inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The line end of the text [first, last): a line feed, or a carriage return where the text
// holds carriage returns and no line feed at all.
char line_end_of(const char* first, const char* last);

// Walks the snapshot text [first, last) record by record, its lines ending at `line_end`.
class scanner {
 public:
  scanner(const char* first, const char* last, std::int64_t line = 1, char line_end = '\n')
      : p_(first), end_(last), line_(line), line_end_(line_end) {}

  const char* position() const { return p_; }
  std::int64_t line() const { return line_; }
  char line_end() const { return line_end_; }
  void restart(const char* p, std::int64_t line) {
    p_ = p;
    line_ = line;
  }

  bool at_end() const { return p_ == end_; }
  bool at_record_end() const { return p_ == end_ || *p_ == line_end_; }
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
  char line_end_;
};

// Reads the header record: a label, then the redshift, which may stand on a later record
// when the header holds the label alone. Leaves the scanner at the start of the record
// after the one that supplied the redshift: the particle list begins there.
stage_status read_header(scanner& s, const std::string& file, float& redshift);

// One particle record, value k into columns[k][i]: blank records before it are passed
// over; the failure names the line when the record is not seven numbers.
stage_status read_particle(scanner& s, const std::string& file, float* const* columns, std::int64_t i);

// Whether the record here (blank records passed over) ends the particle list: the end of
// the text, or a record whose first value is not a number (a line of words, say), unless
// the six values after it are numbers: that is a particle record with a damaged first
// value (a stray byte in x), which read_particle names as an error rather than the list
// silently ending there. An empty first value (a leading comma) ends the list. Leaves the
// scanner where it was.
bool ends_list(scanner& s);

}  // namespace haloprof

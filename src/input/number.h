// Reading one number of a snapshot as a single-precision value.
#pragma once

#include <cstdint>

namespace haloprof {

// Parses the whole of [first, last) as one number, as convert_float reads it, and stores the
// nearest float in `out` (ties to even).
// Accepted: optional sign; digits with an optional point (at least one digit); an optional
// exponent introduced by E, D or Q in either case or by its sign alone (1.5+3 is 1500);
// the words Inf, Infinity and NaN in any case, with an optional sign.
// Magnitudes beyond the float range give an infinity, those below half the smallest
// subnormal a zero, each with the number's sign.
// Returns false, leaving `out` unchanged, when the text is not such a number.
bool parse_float(const char* first, const char* last, float& out);

// Whether c ends a value in a snapshot record: a blank, tab, carriage return, comma, slash
// or line feed.
inline bool ends_value(char c) {
  return c == ' ' || c == ',' || c == '\n' || c == '\t' || c == '\r' || c == '/';
}

// The value that starts at `first` and runs to the next character that ends a value (or to
// `last`): `end` is where it stops, `ok` whether it is a number, converted into `out` as by
// parse_float (`out` is left unchanged when it is not).
struct scanned_value {
  const char* end;
  bool ok;
};
scanned_value scan_value(const char* first, const char* last, float& out);

// Where the value at p ends when it is a plain decimal, [-]digits[.digits] followed by a
// character that ends a value: such a value is a number, whatever its digits. Null for any
// other value, or when its digits come within eight bytes of `readable` (the general
// parser reads the file's last bytes).
const char* plain_number_end(const char* p, const char* readable);

// The values of one record: value k spans record[first[k]] to just before
// record[last[k]], with the sixteen bytes before its end readable.
struct short_batch {
  const char* record;
  int first[8];
  int last[8];
};

// Converts the seven values of a record's batch at once, value k into columns[k][i], when
// every one has the common shape, [-]digits[.digits] with one to eight digits that make at
// most 2^24, rounding as parse_float does. Returns false otherwise (the values are then to
// be converted one by one; some results may have been written).
bool short_decimals(const short_batch& batch, float* const* columns, std::int64_t i);

// parse_float for a value known to be [first, last), with the text readable up to
// `readable` (which the fast path may read beyond `last`).
bool parse_token(const char* first, const char* last, const char* readable, float& out);

}  // namespace haloprof

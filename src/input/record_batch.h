// Converting the seven values of a plain record at once, in vector registers: the
// common shape of the values most programs write, [-]digits[.digits], fixed decimals of
// up to fourteen digits.
#pragma once

#include <cstdint>

namespace haloprof {

// The values of one record: value k spans record[first[k]] to just before
// record[last[k]], with the sixteen bytes before its end readable.
struct short_batch {
  const char* record;
  int first[8];
  int last[8];
};

// Converts the seven values of a record's batch at once, value k into columns[k][i], when
// every one has the common shape, [-]digits[.digits] in at most sixteen bytes with one to
// fourteen digits, giving exactly what convert_float gives. Returns false otherwise, and
// for the rare value whose rounding needs convert_float's exact path (the values are then
// to be converted one by one; some results may have been written).
bool short_decimals(const short_batch& batch, float* const* columns, std::int64_t i);

}  // namespace haloprof

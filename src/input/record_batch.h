// Converting the seven values of a plain record at once, in vector registers: the
// common shapes of the values most programs write, fixed decimals [-]digits[.digits] of
// up to fourteen digits, alone or with a two-digit exponent (C's %e, Fortran's E and D
// fields).
#pragma once

#include <cstdint>

namespace haloprof {

// The values of one record: value k spans record[first[k]] to just before
// record[last[k]], with the fifteen bytes before it readable.
struct short_batch {
  const char* record;
  int first[8];
  int last[8];
};

// Converts the seven values of a record's batch at once, value k into columns[k][i], when
// every one has a common shape, giving exactly what convert_float gives: a mantissa
// [-]digits[.digits] of at most sixteen bytes with one to fourteen digits, then perhaps an
// exponent, a letter (E, D or Q in either case), a sign and two digits, the power of ten it
// leaves after the mantissa's decimals within 10^-22 to 10^22. Returns false otherwise, and
// for the rare value whose rounding needs convert_float's exact path (the values are then
// to be converted one by one; some results may have been written).
bool short_decimals(const short_batch& batch, float* const* columns, std::int64_t i);

// The active tier's short_decimals, for a pass to fetch once.
using short_decimals_fn = bool (*)(const short_batch& batch, float* const* columns, std::int64_t i);
short_decimals_fn short_decimals_kernel();

}  // namespace haloprof

// Reading one number of a snapshot as a single-precision value.
#pragma once

namespace haloprof {

// Parses the whole of [first, last) as one real and stores the nearest float in `out`
// (ties to even), converting the decimal directly to single precision.
// Accepted: optional sign; digits with an optional point (at least one digit); an optional
// exponent introduced by E, D or Q in either case or by its sign alone (1.5+3 is 1500);
// the words Inf, Infinity and NaN in any case, with an optional sign.
// Magnitudes beyond the float range give an infinity, those below half the smallest
// subnormal a zero, each with the number's sign.
// Returns false, leaving `out` unchanged, when the text is not such a number.
bool parse_float(const char* first, const char* last, float& out);

}  // namespace haloprof

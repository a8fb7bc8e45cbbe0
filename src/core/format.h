// Text records: fixed-column records (report file and aligned console lines) and
// free-form console lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace haloprof {

// Field layouts. Each appends exactly w characters to `out` (w asterisks when the value
// does not fit). Reals are rounded to nearest, ties to even, directly from their binary
// value; a float argument widened to double rounds identically, since widening is exact.
void put_int(std::string& out, std::int64_t v, int w);          // I(w)
void put_fixed(std::string& out, double v, int w, int d);       // F(w.d)
void put_scientific(std::string& out, double v, int w, int d);  // ES(w.d)

// Fortran's Ew.d field (Dw.d with the letter D), as Fortran programs write snapshots:
// [-]0.<d digits><letter>±ee, the d significant digits as printf's %.<d-1>e rounds them
// (zero keeps the exponent 00; an exponent of three digits takes three), right-aligned in
// w characters (none added for w = 0). NaN and the infinities are written as words; d out of
// 1 to 100 gives w asterisks. For writing test data, not records.
void put_fortran_e(std::string& out, double v, int w, int d, char letter = 'E');

// Builds one fixed-column record; str() ends it with a line feed.
class record {
 public:
  record& text(std::string_view s) {
    line_.append(s);
    return *this;
  }
  record& i(std::int64_t v, int w) {
    put_int(line_, v, w);
    return *this;
  }
  record& f(double v, int w, int d) {
    put_fixed(line_, v, w, d);
    return *this;
  }
  record& es(double v, int w, int d) {
    put_scientific(line_, v, w, d);
    return *this;
  }
  std::string str() const { return line_ + '\n'; }

 private:
  std::string line_;
};

// Builds one free-form console line: a leading blank, text as given, each number after
// at least one blank in the shortest form that reads back to the same value in its own
// precision (so a float and a double of the same value may print differently).
class free_line {
 public:
  free_line() : line_(" ") {}
  free_line& text(std::string_view s) {
    line_.append(s);
    return *this;
  }
  free_line& num(float v);
  free_line& num(double v);
  free_line& num(std::int64_t v);
  std::string str() const { return line_ + '\n'; }

 private:
  void blank();
  std::string line_;
};

}  // namespace haloprof

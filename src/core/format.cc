#include "core/format.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace haloprof {
namespace {

// The widest fixed text a double can need: 309 integer digits, a point and the decimals.
constexpr int max_decimals = 100;
constexpr std::size_t fixed_buffer = 309 + 2 + max_decimals + 8;

void put_stars(std::string& out, int w) { out.append(static_cast<std::size_t>(w > 0 ? w : 0), '*'); }

// Right-aligns `s` in w characters, or writes w asterisks when it does not fit.
void put_aligned(std::string& out, std::string_view s, int w) {
  if (w <= 0) return;
  const auto width = static_cast<std::size_t>(w);
  if (s.size() > width) {
    put_stars(out, w);
    return;
  }
  out.append(width - s.size(), ' ');
  out.append(s);
}

// NaN, infinities and a number of decimals out of range, shared by the fixed and
// scientific fields. Returns false, writing nothing, for a finite v with valid decimals.
bool put_special(std::string& out, double v, int w, int d) {
  if (std::isnan(v)) {
    put_aligned(out, "NaN", w);
  } else if (std::isinf(v)) {
    if (v > 0)
      put_aligned(out, w >= 8 ? "Infinity" : "Inf", w);
    else
      put_aligned(out, w >= 9 ? "-Infinity" : "-Inf", w);
  } else if (d < 0 || d > max_decimals) {
    put_stars(out, w);
  } else {
    return false;
  }
  return true;
}

}  // namespace

void put_int(std::string& out, std::int64_t v, int w) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  put_aligned(out, std::string_view(buf, static_cast<std::size_t>(r.ptr - buf)), w);
}

void put_fixed(std::string& out, double v, int w, int d) {
  if (put_special(out, v, w, d)) return;
  // The digits of |v| correctly rounded to d places; the sign is laid out separately so
  // that -0.0 and negatives rounding to zero keep their minus sign.
  char buf[fixed_buffer + 1];
  buf[0] = '-';
  char* digits = buf + 1;
  const auto r = std::to_chars(digits, buf + sizeof buf, std::fabs(v), std::chars_format::fixed, d);
  char* end = r.ptr;
  if (d == 0) *end++ = '.';
  const bool negative = std::signbit(v);
  char* first = negative ? buf : digits;
  // A leading "0" before the point is dropped only when that is what makes the text fit
  // (and decimals remain, or nothing but a point would be left); the sign, if any, moves
  // onto the zero's place.
  if (end - first == w + 1 && d > 0 && digits[0] == '0' && digits[1] == '.') {
    digits[0] = '-';
    first = negative ? digits : digits + 1;
  }
  put_aligned(out, std::string_view(first, static_cast<std::size_t>(end - first)), w);
}

void put_scientific(std::string& out, double v, int w, int d) {
  if (put_special(out, v, w, d)) return;
  char buf[max_decimals + 16];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific, d);
  // to_chars writes m.mmmm e±xx with the carry already moved into the exponent.
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  const auto epos = sci.find('e');
  int magnitude = 0;
  for (std::size_t k = epos + 2; k < sci.size(); ++k) magnitude = magnitude * 10 + (sci[k] - '0');
  const bool exponent_negative = sci[epos + 1] == '-';

  std::string s;
  if (std::signbit(v)) s += '-';
  s.append(sci.substr(0, epos));
  if (d == 0) s += '.';
  // Two exponent digits after the letter E; a three-digit exponent (a double's reach at
  // most 324) takes the letter's place.
  if (magnitude <= 99) s += 'E';
  s += exponent_negative ? '-' : '+';
  if (magnitude <= 99) {
    s += static_cast<char>('0' + magnitude / 10);
    s += static_cast<char>('0' + magnitude % 10);
  } else {
    s += std::to_string(magnitude);
  }
  put_aligned(out, s, w);
}

void put_fortran_e(std::string& out, double v, int w, int d, char letter) {
  if (!std::isfinite(v) || d < 1 || d > max_decimals) {
    // What a Fortran program writes for these: the word, or a field of asterisks.
    const std::string_view word = std::isnan(v) ? "NaN" : std::isinf(v) ? (v > 0 ? "Infinity" : "-Infinity") : "";
    if (word.empty()) return put_stars(out, w);
    if (w > static_cast<int>(word.size())) out.append(static_cast<std::size_t>(w) - word.size(), ' ');
    out.append(word);
    return;
  }
  char sci[max_decimals + 16];
  const auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific, d - 1);
  const std::string_view s(sci, static_cast<std::size_t>(r.ptr - sci));
  const auto e = s.find('e');
  int exponent = 0;
  for (std::size_t k = e + 2; k < s.size(); ++k) exponent = 10 * exponent + (s[k] - '0');
  if (s[e + 1] == '-') exponent = -exponent;
  if (v != 0) ++exponent;  // d.ddd x 10^e is 0.dddd x 10^(e+1)
  std::string field = s[0] == '-' ? "-0." : "0.";
  for (std::size_t k = s[0] == '-' ? 1 : 0; k < e; ++k)
    if (s[k] != '.') field += s[k];
  field += letter;
  field += exponent < 0 ? '-' : '+';
  const std::string digits = std::to_string(exponent < 0 ? -exponent : exponent);
  field += digits.size() < 2 ? "0" + digits : digits;
  if (w > static_cast<int>(field.size())) out.append(static_cast<std::size_t>(w) - field.size(), ' ');
  out += field;
}

void free_line::blank() {
  if (line_.back() != ' ') line_ += ' ';
}

namespace {
template <typename T>
void put_shortest(std::string& out, T v) {
  if (std::isnan(v)) {
    out += "NaN";
  } else if (std::isinf(v)) {
    out += v > 0 ? "Infinity" : "-Infinity";
  } else {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
  }
}
}  // namespace

free_line& free_line::num(float v) {
  blank();
  put_shortest(line_, v);
  return *this;
}

free_line& free_line::num(double v) {
  blank();
  put_shortest(line_, v);
  return *this;
}

free_line& free_line::num(std::int64_t v) {
  blank();
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  line_.append(buf, r.ptr);
  return *this;
}

}  // namespace haloprof

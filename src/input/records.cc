#include "input/records.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <system_error>

#include "input/convert.h"


namespace haloprof {
namespace {

constexpr std::string_view value_names[7] = {"x", "y", "z", "vx", "vy", "vz", "dens"};

// Whether the token t is one number, all of it; `v` is set only when it is.
bool parse(std::string_view t, float& v) {
  float x;
  const auto [end, ec] = convert_float(t.data(), t.data() + t.size(), x);
  if (ec != std::errc{} || end != t.data() + t.size()) return false;
  v = x;
  return true;
}

failure bad_snapshot(const std::string& file, std::int64_t line, const std::string& what) {
  return {exit_status::bad_snapshot, file + ":" + std::to_string(line) + ": " + what};
}

}  // namespace

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

void scanner::finish_record(const char* at) {
  p_ = at;
  if (*p_ == '\n') {
    ++p_;
    ++line_;
  } else {
    next_record();
  }
}

void scanner::skip_blanks() {
  while (p_ != end_ && is_blank(*p_)) ++p_;
}

void scanner::next_record() {
  const void* nl = std::memchr(p_, '\n', static_cast<std::size_t>(end_ - p_));
  if (nl == nullptr) {
    p_ = end_;
  } else {
    p_ = static_cast<const char*>(nl) + 1;
    ++line_;
  }
}

void scanner::skip_empty_records() {
  for (;;) {
    skip_blanks();
    if (p_ == end_ || *p_ != '\n') return;
    ++p_;
    ++line_;
  }
}

bool scanner::number(float& v, std::string_view& text) {
  const char* first = p_;
  float x;
  const auto [end, ec] = convert_float(p_, end_, x);
  const bool ok = ec == std::errc{} && (end == end_ || ends_value(*end));
  p_ = end;  // no byte before it ends a value
  while (p_ != end_ && !ends_value(*p_)) ++p_;
  text = {first, static_cast<std::size_t>(p_ - first)};
  if (ok) v = x;
  return ok;
}

std::string_view scanner::token() {
  const char* first = p_;
  while (p_ != end_ && !ends_value(*p_)) ++p_;
  return {first, static_cast<std::size_t>(p_ - first)};
}

void scanner::skip_separator() {
  skip_blanks();
  if (p_ != end_ && *p_ == ',') {
    ++p_;
    skip_blanks();
  }
}

void scanner::skip_quoted() {
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

stage_status read_particle(scanner& s, const std::string& file, float* const* columns, std::int64_t i) {
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

bool first_value_is_number(scanner& s) {
  if (s.at_end()) return false;
  const char* at = s.position();
  const std::int64_t line = s.line();
  float x;
  std::string_view text;
  const bool number = s.number(x, text) && !text.empty();
  s.restart(at, line);
  return number;
}

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

fast_records::fast_records(const char* begin, const char* end)
    : begin_(begin), end_(end), classify_(classify_kernels.get()) {}

namespace {

// Whether a mask of W words has a bit set below position `stop`.
template <int W>
bool any_before(const std::uint64_t (&bits)[W], int stop) {
  for (int w = 0; w < W; ++w) {
    if (stop <= 64 * w) return false;
    const std::uint64_t below = stop >= 64 * (w + 1) ? ~std::uint64_t{0} : (std::uint64_t{1} << (stop - 64 * w)) - 1;
    if ((bits[w] & below) != 0) return true;
  }
  return false;
}

// Whether more than one bit of a mask of W words is set in [from, to).
template <int W>
bool several_in(const std::uint64_t (&bits)[W], int from, int to) {
  bool one = false;
  for (int w = 0; w < W; ++w) {
    const int lo = std::max(from, 64 * w) - 64 * w, hi = std::min(to, 64 * (w + 1)) - 64 * w;
    if (lo >= hi) continue;
    const std::uint64_t upto = hi == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << hi) - 1;
    const std::uint64_t x = bits[w] & upto & (~std::uint64_t{0} << lo);
    if (x == 0) continue;
    if (one || (x & (x - 1)) != 0) return true;
    one = true;
  }
  return false;
}

// Whether the commas of a record (a mask of W words) stand where commas may: none before
// its first value, and one at most between two values (two would leave an empty value
// between them).
template <int W>
bool commas_fit(const std::uint64_t (&comma)[W], const short_batch& batch) {
  if (batch.first[0] != 0) return false;
  for (int k = 0; k + 1 < 7; ++k)
    if (several_in<W>(comma, batch.last[k], batch.first[k + 1])) return false;
  return true;
}

// The position of the lowest set bit of a mask of W words, cleared; -1 when none is left.
template <int W>
int take_lowest(std::uint64_t (&bits)[W]) {
  for (int w = 0; w < W; ++w) {
    if (bits[w] != 0) {
      const int at = std::countr_zero(bits[w]);
      bits[w] &= bits[w] - 1;
      return 64 * w + at;
    }
  }
  return -1;
}

}  // namespace

template <int W>
int fast_records::bounds(std::size_t bit, short_batch& batch) const {
  std::uint64_t value[W], stray[W], comma[W], starts[W], ends[W];
  window<W>(&window_masks::separator, bit, value);
  window<W>(&window_masks::stray, bit, stray);
  window<W>(&window_masks::comma, bit, comma);
  // A value starts where a value byte (not a separator) follows a separator and ends at
  // the separator after it (the byte before the record is a separator); the shifts carry
  // from each word into the next.
  for (int w = 0; w < W; ++w) value[w] = ~value[w];
  for (int w = 0; w < W; ++w) {
    const std::uint64_t after = (value[w] << 1) | (w > 0 ? value[w - 1] >> 63 : 0);
    starts[w] = value[w] & ~after;
    ends[w] = ~value[w] & after;
  }
  for (int k = 0; k < values; ++k) {
    batch.first[k] = take_lowest<W>(starts);
    batch.last[k] = take_lowest<W>(ends);
  }
  const int stop = batch.last[values - 1];
  if (stop < 0) return -1;
  if (!any_before<W>(stray, stop)) return stop;  // blanks alone
  // Commas may separate values; anything else sends the record to the general path.
  for (int w = 0; w < W; ++w) stray[w] &= ~comma[w];
  return !any_before<W>(stray, stop) && commas_fit<W>(comma, batch) ? stop : -2;
}

// bounds<2> written out: the common case, kept short.
int fast_records::bounds_short(std::size_t bit, short_batch& batch) const {
  std::uint64_t separator[2], stray[2];
  window<2>(&window_masks::separator, bit, separator);
  const std::uint64_t value[2] = {~separator[0], ~separator[1]};
  const std::uint64_t after[2] = {value[0] << 1, (value[1] << 1) | (value[0] >> 63)};
  std::uint64_t starts[2] = {value[0] & ~after[0], value[1] & ~after[1]};
  std::uint64_t ends[2] = {~value[0] & after[0], ~value[1] & after[1]};
  const auto take_lowest = [](std::uint64_t (&bits)[2]) {
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
  };
  for (int k = 0; k < values; ++k) {
    batch.first[k] = take_lowest(starts);
    batch.last[k] = take_lowest(ends);
  }
  const int stop = batch.last[values - 1];
  if (stop < 0) return -1;
  // The bits below stop, in each word.
  const std::uint64_t below[2] = {stop >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << stop) - 1,
                                  stop > 64 ? (std::uint64_t{1} << (stop - 64)) - 1 : 0};
  window<2>(&window_masks::stray, bit, stray);
  if (((stray[0] & below[0]) | (stray[1] & below[1])) == 0) return stop;  // blanks alone
  // Commas may separate values; anything else sends the record to the general path.
  std::uint64_t comma[2];
  window<2>(&window_masks::comma, bit, comma);
  if (((stray[0] & ~comma[0] & below[0]) | (stray[1] & ~comma[1] & below[1])) != 0) return -2;
  return commas_fit<2>(comma, batch) ? stop : -2;
}

const char* fast_records::read(const char* p, float* const* columns, std::int64_t i) {
  // The masks and the digit reads (from 15 bytes before a value) must stay in the text.
  if (end_ - p < 64 * (words + 1) || p - begin_ < 16) return nullptr;
  if ((base_ == nullptr || p < base_ || p >= limit_) && !classify_from(p)) return nullptr;
  const auto bit = static_cast<std::size_t>(p - base_);
  short_batch batch;
  batch.record = p;
  // Most records take less than 128 bytes: two words of masks find their values.
  int stop = bounds_short(bit, batch);
  if (stop == -1) stop = bounds<words>(bit, batch);
  if (stop < 0 || !ends_value(p[stop])) return nullptr;  // a NUL, say, belongs to the value
  // Values of the common shape are converted together; any other sends the record to
  // be read value by value. A file keeps to one form, so after a record the batch turns
  // down, the next few go value by value straight away.
  if (batch_rest_ > 0) {
    --batch_rest_;
  } else {
    if (short_decimals(batch, columns, i)) return p + stop;
    batch_rest_ = 31;
  }
  return one_by_one(p, batch.first, batch.last, columns, i);
}

// Values of other forms, each parsed on its own.
const char* fast_records::one_by_one(const char* p, const int* first, const int* last, float* const* columns,
                                     std::int64_t i) {
  for (int k = 0; k < values; ++k) {
    const auto [end, ec] = convert_float(p + first[k], end_, columns[k][i]);
    if (ec != std::errc{} || end != p + last[k]) return nullptr;
  }
  return p + last[values - 1];
}

// Classifies the blocks from the one that holds p on: up to `chunk` of them, and `words`
// more, so that a window of the record's bits from any byte before limit_ lies within them.
bool fast_records::classify_from(const char* p) {
  base_ = begin_ + ((p - begin_) & ~std::ptrdiff_t{63});
  const std::ptrdiff_t n = std::min<std::ptrdiff_t>(chunk + words, (end_ - base_) / 64);
  if (n < words + 1) return false;
  classify_(base_, static_cast<int>(n), blocks_);
  limit_ = base_ + 64 * (n - words);
  return p < limit_;
}

}  // namespace haloprof

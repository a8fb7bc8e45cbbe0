#include "input/records.h"

#include <cstring>
#include <system_error>

#include "core/run_state.h"
#include "core/shown.h"
#include "input/convert.h"

namespace haloprof {
namespace {

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

char line_end_of(const char* first, const char* last) {
  const auto n = static_cast<std::size_t>(last - first);
  if (n == 0 || std::memchr(first, '\n', n) != nullptr) return '\n';  // an empty file maps to no address
  return std::memchr(first, '\r', n) != nullptr ? '\r' : '\n';
}

void scanner::finish_record(const char* at) {
  p_ = at;
  if (*p_ == line_end_) {
    ++p_;
    ++line_;
  } else {
    next_record();
  }
}

void scanner::skip_blanks() {
  while (p_ != end_ && is_blank(*p_) && *p_ != line_end_) ++p_;
}

void scanner::next_record() {
  const void* nl = std::memchr(p_, line_end_, static_cast<std::size_t>(end_ - p_));
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
    if (p_ == end_ || *p_ != line_end_) return;
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
  while (p_ != end_ && *p_ != line_end_) {
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
    return bad_snapshot(file, line, "expected the redshift after the label, found '" + std::string(1, *at) + "'");
  if (!parse(t, redshift))
    return bad_snapshot(file, line, "expected the redshift (a number) after the label, found '" + shown_token(t) + "'");
  s.next_record();
  return {};
}

stage_status read_particle(scanner& s, const std::string& file, float* const* columns, std::int64_t i) {
  s.skip_empty_records();
  for (int k = 0; k < column_count; ++k) {
    if (k > 0) s.skip_separator();
    if (s.at_record_end())
      return bad_snapshot(file, s.line(), "expected " + record_values_named() + ", found " + std::to_string(k));
    if (s.peek() == '/' || s.peek() == ',')
      return bad_snapshot(file, s.line(),
                          std::string(s.peek() == '/' ? "a slash ends the record" : "an empty value") + " after " +
                              std::to_string(k) + " values: expected " + record_values_named());
    std::string_view t;
    if (!s.number(columns[k][i], t))
      return bad_snapshot(file, s.line(),
                          "value " + std::to_string(k + 1) + " (" +
                              std::string(column_names[static_cast<std::size_t>(k)]) + ") is not a number: '" +
                              shown_token(t) + "'" +
                              (t.find('*') != std::string_view::npos ? " (repeat counts are not supported)" : ""));
  }
  s.next_record();
  return {};
}

bool ends_list(scanner& s) {
  if (s.at_end()) return true;
  const char* at = s.position();
  const std::int64_t line = s.line();
  float x;
  std::string_view text;
  if (s.number(x, text) && !text.empty()) {
    s.restart(at, line);
    return false;
  }
  bool damaged = !text.empty();
  for (int k = 1; damaged && k < column_count; ++k) {
    s.skip_separator();
    damaged = !s.at_record_end() && s.peek() != '/' && s.peek() != ',' && s.number(x, text);
  }
  s.restart(at, line);
  return !damaged;
}

}  // namespace haloprof

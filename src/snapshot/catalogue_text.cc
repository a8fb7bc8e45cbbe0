// Halo catalogues in text: AHF's .AHF_halos, Rockstar's out_*.list, and plain lists of
// centres. Told apart by their header lines: AHF names each column with its 1-based number
// in brackets (`Xc(6)`), Rockstar's header line starts `#ID` and names X, Y and Z; anything
// else is a plain list of `x y z [radius]`.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/shown.h"
#include "input/mapped_file.h"
#include "snapshot/formats.h"

namespace haloprof {
namespace {

constexpr double kpc_in_cm = 3.0856775814913673e21, mpc_in_cm = 3.0856775814913673e24;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

void split(std::string_view line, std::vector<std::string_view>& tokens) {
  tokens.clear();
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && is_space(line[i])) ++i;
    if (i == line.size()) return;
    const std::size_t start = i;
    while (i < line.size() && !is_space(line[i])) ++i;
    tokens.push_back(line.substr(start, i - start));
  }
}

bool parse_real(std::string_view t, double& v) {
  if (t.size() > 1 && t[0] == '+' && t[1] != '-') t.remove_prefix(1);
  const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  return r.ec == std::errc() && r.ptr == t.data() + t.size() && std::isfinite(v);
}

bool parse_id(std::string_view t, std::int64_t& v) {
  if (t.size() > 1 && t[0] == '+') t.remove_prefix(1);
  const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

enum class kind { plain, ahf, rockstar };

// The columns a halo is read from, by their 0-based index in a line (-1: none).
enum column_id { id_column, x_column, y_column, z_column, radius_column, columns };

struct column {
  const char* name;
  int index = -1;
};

// The names the columns go by in each kind's header.
constexpr const char* ahf_names[columns] = {"ID", "Xc", "Yc", "Zc", "Rvir"};
constexpr const char* rockstar_names[columns] = {"ID", "X", "Y", "Z", "Rvir"};
constexpr column plain_columns[columns] = {{"id"}, {"x", 0}, {"y", 1}, {"z", 2}, {"radius", 3}};

// An AHF header token `Name(N)`: the name and the 0-based column; false for other tokens.
bool bracketed(std::string_view t, std::string_view& name, int& index) {
  if (t.starts_with('#')) t.remove_prefix(1);
  const std::size_t open = t.rfind('(');
  if (t.size() < 4 || t.back() != ')' || open == std::string_view::npos || open == 0) return false;
  int n = 0;
  const auto r = std::from_chars(t.data() + open + 1, t.data() + t.size() - 1, n);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size() - 1 || n < 1) return false;
  name = t.substr(0, open);
  index = n - 1;
  return true;
}

// A length unit as Rockstar's `#Units:` lines write it after `what`: "Mpc / h", "kpc/h".
// 0 when the line does not give it; -1 when it names a unit not known here.
double unit_after(std::string_view line, std::string_view what, bool& per_h) {
  const std::size_t at = line.find(what);
  if (at == std::string_view::npos) return 0;
  std::string_view rest = line.substr(at + what.size());
  const double cm = rest.starts_with("Mpc") ? mpc_in_cm : rest.starts_with("kpc") ? kpc_in_cm : -1;
  if (cm < 0) return cm;
  rest.remove_prefix(3);
  while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
  per_h = rest.starts_with('/');
  return cm;
}

class reader {
 public:
  reader(const std::string& path, halo_catalogue& out) : path_(path), out_(out) {
    std::copy(std::begin(plain_columns), std::end(plain_columns), cols_);
  }

  stage_status read(const char* p, const char* end) {
    std::vector<std::string_view> tokens;
    bool halos_started = false;
    for (std::int64_t line_no = 1; p < end; ++line_no) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      if (nl == nullptr) nl = end;
      std::string_view line(p, static_cast<std::size_t>(nl - p));
      p = nl == end ? end : nl + 1;
      if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
        // Header lines come before the first halo; a later one is only a comment.
        if (!halos_started && !header_line(line.substr(hash), tokens, line_no)) return failed();
        line = line.substr(0, hash);
      }
      split(line, tokens);
      if (tokens.empty()) continue;
      if (!halos_started && !start()) return failed();
      halos_started = true;
      if (!halo(tokens, line_no)) return failed();
    }
    if (!halos_started && !start()) return failed();
    return {};
  }

 private:
  std::string at_line(std::int64_t line_no) const { return path_ + ":" + std::to_string(line_no) + ": "; }

  // Takes what a comment line before the first halo says: a header naming the columns, or
  // a unit. False (with the message set) for a unit not known here.
  bool header_line(std::string_view comment, std::vector<std::string_view>& tokens, std::int64_t line_no) {
    split(comment, tokens);
    if (!tokens.empty() && tokens[0] == "#") tokens.erase(tokens.begin());
    if (tokens.empty()) return true;
    std::string_view name;
    int index = 0;
    if (bracketed(tokens[0], name, index)) {
      take_columns(kind::ahf, ahf_names, line_no);
      for (std::string_view t : tokens)
        if (bracketed(t, name, index)) name_column(name, index);
      return true;
    }
    if (tokens[0] == "#ID" || tokens[0] == "ID") {
      if (std::find(tokens.begin(), tokens.end(), "X") == tokens.end()) return true;
      take_columns(kind::rockstar, rockstar_names, line_no);
      tokens[0] = "ID";
      for (std::size_t i = 0; i < tokens.size(); ++i) name_column(tokens[i], static_cast<int>(i));
      return true;
    }
    if (!comment.starts_with("#Units:")) return true;
    bool per_h = false;
    for (const auto& [what, cm] : {std::pair{"Positions in ", &position_cm_}, std::pair{"Radii in ", &radius_cm_}}) {
      const double unit = unit_after(comment, what, per_h);
      if (unit < 0) {
        failure_ = at_line(line_no) + "a length unit not known here (kpc or Mpc): '" + shown_token(comment) + "'";
        return false;
      }
      if (unit == 0) continue;
      *cm = unit;
      if (cm == &position_cm_) position_per_h_ = per_h;
    }
    return true;
  }

  void take_columns(kind k, const char* const (&names)[columns], std::int64_t line_no) {
    kind_ = k;
    header_line_ = line_no;
    for (int c = 0; c < columns; ++c) cols_[c] = column{names[c]};
  }

  void name_column(std::string_view name, int index) {
    for (column& c : cols_)
      if (name == c.name && c.index < 0) c.index = index;
  }

  // Settles the kind once the header lines are read; false when the header lacks a column.
  bool start() {
    for (int c = x_column; c <= z_column; ++c)
      if (cols_[c].index < 0) {
        failure_ = at_line(header_line_) + "the header names no column " + cols_[c].name;
        return false;
      }
    switch (kind_) {
      case kind::plain:
        out_.format = "plain list";
        break;
      case kind::ahf:
        out_.format = "AHF";
        break;
      case kind::rockstar:
        // Positions in Mpc/h and radii in kpc/h unless its unit lines say otherwise; radii
        // are handed out in the positions' unit.
        out_.format = "Rockstar";
        out_.length_in_cm = position_cm_;
        out_.length_h_exponent = position_per_h_ ? -1 : 0;
        radius_scale_ = radius_cm_ / position_cm_;
        break;
    }
    return true;
  }

  bool value(const std::vector<std::string_view>& tokens, column_id c, std::int64_t line_no, double& v) {
    const std::string_view t = tokens[static_cast<std::size_t>(cols_[c].index)];
    if (parse_real(t, v)) return true;
    failure_ = at_line(line_no) + "column " + std::to_string(cols_[c].index + 1) + " (" + cols_[c].name +
               ") is not a number: '" + shown_token(t) + "'";
    return false;
  }

  bool halo(const std::vector<std::string_view>& tokens, std::int64_t line_no) {
    catalogue_halo h;
    h.id = static_cast<std::int64_t>(out_.halos.size());
    const auto found = static_cast<int>(tokens.size());
    if (kind_ == kind::plain && (found < 3 || found > 4)) {
      failure_ = at_line(line_no) + "expected 3 or 4 columns (x y z [radius]), found " + std::to_string(found);
      return false;
    }
    int needed = 0;
    for (const column& c : cols_) needed = std::max(needed, c.index + 1);
    if (kind_ != kind::plain && found < needed) {
      failure_ =
          at_line(line_no) + "expected at least " + std::to_string(needed) + " columns, found " + std::to_string(found);
      return false;
    }
    for (int k = 0; k < 3; ++k)
      if (!value(tokens, static_cast<column_id>(x_column + k), line_no, h.centre[k])) return false;
    if (cols_[radius_column].index >= 0 && cols_[radius_column].index < found) {
      double r = 0;
      if (!value(tokens, radius_column, line_no, r)) return false;
      h.radius = r * radius_scale_;
    }
    if (const int i = cols_[id_column].index; i >= 0 && !parse_id(tokens[static_cast<std::size_t>(i)], h.id)) {
      failure_ = at_line(line_no) + "column " + std::to_string(i + 1) + " (ID) is not an integer: '" +
                 shown_token(tokens[static_cast<std::size_t>(i)]) + "'";
      return false;
    }
    out_.halos.push_back(h);
    return true;
  }

  failure failed() const { return failure{exit_status::bad_snapshot, failure_}; }

  const std::string& path_;
  halo_catalogue& out_;
  kind kind_ = kind::plain;
  column cols_[columns];
  std::int64_t header_line_ = 0;
  double position_cm_ = mpc_in_cm, radius_cm_ = kpc_in_cm, radius_scale_ = 1;
  bool position_per_h_ = true;
  std::string failure_;
};

}  // namespace

stage_status read_text_catalogue(const std::string& path, halo_catalogue& catalogue) {
  mapped_file file;
  std::string error;
  if (!file.open(path, error))
    return failure{file.out_of_memory() ? exit_status::memory : exit_status::cannot_open,
                   (file.out_of_memory() ? "cannot map '" : "cannot open '") + path + "': " + error};
  catalogue = halo_catalogue{};
  reader r(path, catalogue);
  stage_status s = r.read(file.begin(), file.end());
  if (s.ok() && file.changed())
    return failure{exit_status::snapshot_changed, path + ": the file changed while it was read"};
  return s;
}

}  // namespace haloprof

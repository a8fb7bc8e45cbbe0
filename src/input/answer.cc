#include "input/answer.h"

#include <istream>

#include "input/records.h"

namespace haloprof {

namespace {
// The next line of the answer, without its end and its leading blanks; false at the end of
// the input. Only the first `most` bytes after the blanks are kept (the rest stays unread): a
// name is a path, and an endless line (a device or a binary file given by mistake) must not
// fill the memory, while blanks before the name take none.
bool next_line(std::istream& in, std::string& line, std::size_t most) {
  line.clear();
  std::streambuf* const text = in.rdbuf();
  bool any = false;
  for (int c; line.size() < most;) {
    c = text->sbumpc();
    if (c == '\n') return true;
    if (c == std::char_traits<char>::eof()) {
      in.setstate(std::ios::eofbit);
      return any;
    }
    any = true;
    if (line.empty() && is_blank(static_cast<char>(c))) continue;
    line += static_cast<char>(c);
  }
  return true;
}
}  // namespace

std::optional<std::string> read_file_name(std::istream& in) {
  std::string line;
  while (next_line(in, line, longest_answer)) {
    if (line.empty()) continue;
    std::size_t i = 0;
    const char c = line[i];
    if (c == ',') return std::nullopt;
    std::string name;
    if (c == '\'' || c == '"') {
      // The text between the quotes, blanks and all; with no closing quote, the rest of the
      // line less its trailing blanks (a carriage return of a Windows line end among them).
      bool closed = false;
      for (++i; i < line.size(); ++i) {
        if (line[i] == c) {
          if (i + 1 < line.size() && line[i + 1] == c) {
            name += c;
            ++i;
            continue;
          }
          closed = true;
          break;
        }
        name += line[i];
      }
      while (!closed && !name.empty() && is_blank(name.back())) name.pop_back();
    } else {
      for (; i < line.size() && !is_blank(line[i]) && line[i] != ','; ++i) name += line[i];
    }
    if (name.empty()) return std::nullopt;
    return name;
  }
  return std::nullopt;
}

}  // namespace haloprof

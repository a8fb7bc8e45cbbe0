#include "core/shown.h"

namespace haloprof {
namespace {

void append_escaped(std::string& s, unsigned char c) {
  constexpr char hex[] = "0123456789abcdef";
  s += "\\x";
  s += hex[c >> 4];
  s += hex[c & 15];
}

// Control characters escaped, everything else as it is.
void append_name_part(std::string& s, std::string_view part) {
  const auto byte = [part](std::size_t i) { return static_cast<unsigned char>(part[i]); };
  for (std::size_t i = 0; i < part.size(); ++i) {
    if (byte(i) == 0xc2 && i + 1 < part.size() && byte(i + 1) >= 0x80 && byte(i + 1) < 0xa0) {  // C1 in UTF-8
      append_escaped(s, byte(i));
      append_escaped(s, byte(++i));
    } else if (byte(i) < 0x20 || byte(i) == 0x7f) {
      append_escaped(s, byte(i));
    } else {
      s += part[i];
    }
  }
}

}  // namespace

std::string shown_token(std::string_view t) {
  constexpr std::size_t most = 40;
  std::string s;
  for (std::size_t i = 0; i < t.size() && i < most; ++i) {
    const auto c = static_cast<unsigned char>(t[i]);
    if (c >= 0x20 && c < 0x7f)
      s += static_cast<char>(c);
    else
      append_escaped(s, c);
  }
  if (t.size() > most) s += "...";
  return s;
}

std::string one_line(std::string_view message) {
  std::string s;
  append_name_part(s, message);
  return s;
}

std::string shown_name(std::string_view name) {
  constexpr std::size_t most = 256, kept = 120;
  std::string s;
  if (name.size() <= most) {
    append_name_part(s, name);
    return s;
  }
  // Cut between characters, not inside one (a UTF-8 continuation byte is 10xxxxxx).
  const auto continuation = [&](std::size_t i) { return (static_cast<unsigned char>(name[i]) & 0xc0) == 0x80; };
  std::size_t head_end = kept, tail_start = name.size() - kept;
  while (head_end > 0 && continuation(head_end)) --head_end;
  while (tail_start < name.size() && continuation(tail_start)) ++tail_start;
  append_name_part(s, name.substr(0, head_end));
  s += "...";
  append_name_part(s, name.substr(tail_start));
  return s;
}

}  // namespace haloprof

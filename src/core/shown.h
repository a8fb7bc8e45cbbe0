// Text from files and from users as one-line messages show it: bytes that could reach a
// terminal raw are written \xHH, and long text is cut.
#pragma once

#include <string>
#include <string_view>

namespace haloprof {

// A token from a file: printable ASCII as it is, any other byte as \xHH; at most 40 bytes,
// then "...".
std::string shown_token(std::string_view t);

// A file name as typed: control characters (C0, DEL, and C1 written as UTF-8) as \xHH, other
// bytes as they are, so that names in UTF-8 read as typed. A name longer than 256 bytes is
// shown by its first and last 120 bytes around "...", cut between characters.
std::string shown_name(std::string_view name);

// A message as one line: its control characters (a line feed from a name, say) as \xHH,
// nothing cut.
std::string one_line(std::string_view message);

}  // namespace haloprof

// The answer to the prompt: the snapshot's name, as typed.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>

namespace haloprof {

// The snapshot name typed at the prompt: blank lines and leading blanks are passed over; a
// bare name ends at a blank, a comma or the line end; a name in apostrophes or quotation
// marks is the text between them exactly, blanks included (a doubled quote stands for
// one). Empty when no name is supplied. A line is read up to `longest_answer` bytes after
// its leading blanks.
inline constexpr std::size_t longest_answer = std::size_t{1} << 24;
std::optional<std::string> read_file_name(std::istream& in);

}  // namespace haloprof

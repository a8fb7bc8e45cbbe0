// The process around a run: its standard streams.
#pragma once

#include <iosfwd>
#include <string>

namespace haloprof {

// Writes `line` and its line end in one piece, so that the lines of runs sharing a log
// never mix.
void print_line(std::ostream& err, const std::string& line);

}  // namespace haloprof

#include "app/readdata.h"

#include <istream>
#include <optional>
#include <ostream>

#include "app/progress_bar.h"
#include "core/format.h"
#include "core/shown.h"
#include "input/answer.h"
#include "input/mapped_file.h"

namespace haloprof {

std::string findings_lines(const run_state& data, const snapshot_findings& found) {
  std::string lines;
  if (found.redshift) lines += free_line().text("Redshift= ").num(*found.redshift).str();
  if (found.count) lines += free_line().text("Number of particles = ").num(*found.count).str();
  if (found.loaded)
    lines += record()
                 .text(" Center=")
                 .f(data.x0, 9, 3)
                 .f(data.y0, 9, 3)
                 .f(data.z0, 9, 3)
                 .text(" Max.density= ")
                 .f(found.dmax, 9, 2)
                 .text(" particle= ")
                 .i(found.densest, 12)
                 .str();
  return lines;
}

stage_status readdata(run_state& data, std::istream& in, std::ostream& out, std::ostream& err, bool err_terminal) {
  out << "Enter file name: " << std::flush;
  const std::optional<std::string> name = read_file_name(in);
  if (!name)
    return failure{exit_status::no_file_name,
                   "no snapshot file name given on standard input (expected a name such as halo.txt)"};
  const std::string display = shown_name(*name);
  if (name->find('\0') != std::string::npos)
    return failure{exit_status::cannot_open, "cannot open snapshot '" + display + "': the name holds a NUL character"};

  mapped_file file;
  std::string why;
  if (!file.open(*name, why)) {
    if (file.out_of_memory())
      return failure{exit_status::memory, "cannot map snapshot '" + display + "' into memory: " + why};
    return failure{exit_status::cannot_open, "cannot open snapshot '" + display + "': " + why};
  }

  // Only a large snapshot's reading is long enough to watch.
  constexpr std::size_t large = std::size_t{256} << 20;
  progress_bar bar(err, err_terminal && file.size() > large);
  const read_observer observer{.progress =
                                   [&](read_pass pass, std::size_t done) {
                                     bar.show(pass == read_pass::counting ? "counting particles" : "loading particles",
                                              static_cast<double>(done) / static_cast<double>(file.size()));
                                   },
                               .release = [&](const char* upto) { file.release_before(upto); }};
  snapshot_findings found;
  const stage_status result =
      load_snapshot(data, file.begin(), file.end(), display, found, observer, {.threads = data.threads});
  bar.clear();
  out << findings_lines(data, found);
  // Whatever was read from a file that changed meanwhile (a message about its text too) is void.
  if (file.changed())
    return failure{exit_status::snapshot_changed, "snapshot '" + display + "' changed while being read"};
  if (result.failed()) return result;

  shift_origin(data);
  return {};
}

}  // namespace haloprof

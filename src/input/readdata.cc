#include "input/readdata.h"

#include <istream>
#include <ostream>
#include <utility>

#include "core/threads.h"
#include "input/mapped_file.h"
#include "input/progress.h"

namespace haloprof {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

std::optional<std::string> read_file_name(std::istream& in) {
  std::string line;
  while (std::getline(in, line)) {
    std::size_t i = 0;
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i == line.size()) continue;
    const char c = line[i];
    if (c == ',') return std::nullopt;
    std::string name;
    if (c == '\'' || c == '"') {
      for (++i; i < line.size(); ++i) {
        if (line[i] == c) {
          if (i + 1 < line.size() && line[i + 1] == c) {
            name += c;
            ++i;
            continue;
          }
          break;
        }
        name += line[i];
      }
      while (!name.empty() && is_blank(name.back())) name.pop_back();
    } else {
      for (; i < line.size() && !is_blank(line[i]) && line[i] != ','; ++i) name += line[i];
    }
    if (name.empty()) return std::nullopt;
    return name;
  }
  return std::nullopt;
}

void shift_origin(run_state& data) {
  in_stretches(data.threads, data.nhalos, [&](std::int64_t first, std::int64_t last) {
    // One axis at a time, through plain pointers, so that the compiler can use vectors.
    for (const auto& [a, origin] : {std::pair{&data.xpar, data.x0}, {&data.ypar, data.y0}, {&data.zpar, data.z0}}) {
      float* const v = a->data();
      for (std::int64_t i = first; i < last; ++i) v[i] = static_cast<float>(v[i] - origin);
    }
  });
}

stage_status readdata(run_state& data, std::istream& in, std::ostream& out) {
  out << "Enter file name: " << std::flush;
  const std::optional<std::string> name = read_file_name(in);
  if (!name)
    return failure{exit_status::no_file_name,
                   "no snapshot file name given on standard input (expected a name such as halo.txt)"};
  if (name->find('\0') != std::string::npos)
    return failure{exit_status::cannot_open, "cannot open snapshot '" + shown(*name) + "': the name holds a NUL character"};

  mapped_file file;
  std::string why;
  if (!file.open(*name, why)) return failure{exit_status::cannot_open, "cannot open snapshot '" + *name + "': " + why};

  progress_bar bar(file.size());
  int current_pass = 1;
  const scan_progress progress = [&](int pass, const char* at) {
    if (pass == 0) {  // a console line follows: take the bar off the terminal first
      bar.clear();
      return;
    }
    if (pass != current_pass) {  // the second pass starts again from the top
      file.release_all();
      current_pass = pass;
    }
    file.release_before(at);
    bar.show(pass, static_cast<std::size_t>(at - file.begin()));
  };
  stage_status result =
      load_snapshot(data, file.begin(), file.end(), *name, out, progress, {.threads = data.threads});
  bar.clear();
  if (result.failed()) return result;

  shift_origin(data);
  return {};
}

}  // namespace haloprof

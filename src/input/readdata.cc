#include "input/readdata.h"

#include <istream>
#include <ostream>
#include <utility>

#include "core/threads.h"
#include "input/mapped_file.h"
#include "input/progress.h"
#include "input/records.h"

namespace haloprof {
namespace {

// The typed name as messages show it: control characters (C0, DEL, and C1 written as
// UTF-8) as \xHH, so that none reaches a terminal raw; other bytes as they are, so that
// names in UTF-8 read as typed. A very long name shows its start and its end.
std::string shown_name(std::string_view name) {
  constexpr std::size_t most = 256, kept = 120;
  std::string_view head = name, tail;
  if (name.size() > most) {
    // Cut between characters, not inside one (a UTF-8 continuation byte is 10xxxxxx).
    const auto continuation = [&](std::size_t i) { return (static_cast<unsigned char>(name[i]) & 0xc0) == 0x80; };
    std::size_t head_end = kept, tail_start = name.size() - kept;
    while (head_end > 0 && continuation(head_end)) --head_end;
    while (tail_start < name.size() && continuation(tail_start)) ++tail_start;
    head = name.substr(0, head_end);
    tail = name.substr(tail_start);
  }
  std::string s;
  const auto escape = [&s](std::string_view part) {
    const auto byte = [part](std::size_t i) { return static_cast<unsigned char>(part[i]); };
    for (std::size_t i = 0; i < part.size(); ++i) {
      const bool c1 = byte(i) == 0xc2 && i + 1 < part.size() && byte(i + 1) >= 0x80 && byte(i + 1) < 0xa0;
      const std::size_t escaped = c1 ? 2 : byte(i) < 0x20 || byte(i) == 0x7f ? 1 : 0;
      if (escaped == 0) s += part[i];
      for (std::size_t k = 0; k < escaped; ++k) {
        constexpr char hex[] = "0123456789abcdef";
        s += "\\x";
        s += hex[byte(i + k) >> 4];
        s += hex[byte(i + k) & 15];
      }
      if (escaped == 2) ++i;
    }
  };
  escape(head);
  if (name.size() > most) {
    s += "...";
    escape(tail);
  }
  return s;
}

}  // namespace

namespace {
// The next line of the answer, without its end; false at the end of the input. Only the first
// `most` bytes of a longer line are kept (the rest stays unread): a name is a path, and an
// endless line (a device or a binary file given by mistake) must not fill the memory.
bool next_line(std::istream& in, std::string& line, std::size_t most) {
  line.clear();
  std::streambuf* const text = in.rdbuf();
  for (int c; line.size() < most;) {
    c = text->sbumpc();
    if (c == '\n') return true;
    if (c == std::char_traits<char>::eof()) {
      in.setstate(std::ios::eofbit);
      return !line.empty();
    }
    line += static_cast<char>(c);
  }
  return true;
}
}  // namespace

std::optional<std::string> read_file_name(std::istream& in) {
  std::string line;
  while (next_line(in, line, longest_answer)) {
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
      load_snapshot(data, file.begin(), file.end(), display, out, progress, {.threads = data.threads});
  bar.clear();
  // Whatever was read from a file that changed meanwhile (a message about its text too) is void.
  if (file.changed())
    return failure{exit_status::snapshot_changed, "snapshot '" + display + "' changed while being read"};
  if (result.failed()) return result;

  shift_origin(data);
  return {};
}

}  // namespace haloprof

#include "halogen_catalogue.h"

#include <sys/stat.h>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

void put(std::string& line, double v) {
  char buf[32];
  line += ' ';
  line.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

void put(std::string& line, std::int64_t v) {
  char buf[32];
  line += ' ';
  line.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

}  // namespace

bool write_catalogue(const std::string& path, catalogue_format format, const std::vector<catalogue_entry>& halos,
                     std::string& error) {
  std::string text;
  if (format == catalogue_format::ahf) {
    text = "#ID(1) hostHalo(2) numSubStruct(3) Mvir(4) npart(5) Xc(6) Yc(7) Zc(8) VXc(9) VYc(10) VZc(11) Rvir(12)\n";
    for (std::size_t k = 0; k < halos.size(); ++k) {
      const catalogue_entry& h = halos[k];
      std::string line;
      put(line, static_cast<std::int64_t>(k));
      put(line, std::int64_t{-1});
      put(line, std::int64_t{0});
      put(line, h.mass * 1e10);
      put(line, h.particles);
      for (double c : h.centre) put(line, c);
      for (double v : h.velocity) put(line, v);
      put(line, h.radius);
      text.append(line, 1);  // without the blank before the first value
      text += '\n';
    }
  } else {
    text = "# x y z radius (# particles, mass in 10^10 Msun/h)\n";
    for (const catalogue_entry& h : halos) {
      std::string line;
      for (double c : h.centre) put(line, c);
      put(line, h.radius);
      line += " #";
      put(line, h.particles);
      put(line, h.mass);
      text.append(line, 1);
      text += '\n';
    }
  }
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  const bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
  int failed = std::fwrite(text.data(), 1, text.size(), f) == text.size() ? 0 : (errno != 0 ? errno : EIO);
  if (std::fclose(f) != 0 && failed == 0) failed = errno;
  if (failed == 0) return true;
  if (regular) std::remove(path.c_str());
  error = "cannot write '" + path + "': " + std::strerror(failed);
  return false;
}

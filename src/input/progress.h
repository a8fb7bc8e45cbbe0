// What the reader tells about its passes while they run: how far it has come, and which of
// the text it will not read again, so that a caller can show progress and give pages back.
#pragma once

#include <cstddef>
#include <functional>

namespace haloprof {

enum class read_pass {
  counting,  // counting the particles first (when arrays sized from the text cannot be had)
  loading,   // reading the particles into the arrays
};

struct read_observer {
  // The pass under way and how many bytes of the text it has passed; about every 4 MiB.
  std::function<void(read_pass pass, std::size_t done)> progress;
  // The text before `upto` is read and this pass reads it no more. `upto` grows within a
  // pass; the next pass starts again from the top.
  std::function<void(const char* upto)> release;
};

// Tells an observer of a pass's progress about every 4 MiB of text.
class pacer {
 public:
  pacer(const read_observer& observer, read_pass pass, const char* text) : o_(observer), pass_(pass), text_(text) {}
  void at(const char* p) {
    if (p < next_) return;
    if (o_.progress) o_.progress(pass_, static_cast<std::size_t>(p - text_));
    if (o_.release) o_.release(p);
    next_ = p + (std::size_t{4} << 20);
  }

 private:
  const read_observer& o_;
  read_pass pass_;
  const char* text_;
  const char* next_ = nullptr;
};

}  // namespace haloprof

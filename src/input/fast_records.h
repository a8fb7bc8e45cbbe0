// The plain record form read with bit operations from masks of the text: seven values
// separated by blanks, or by a comma with or without blanks around it, all complete within
// 256 bytes of the record's start. The common number shape is converted seven values at a
// time; other number forms one by one. Anything else (tabs, empty values, blank records,
// long records, the last bytes of the file, errors) is left to the general path
// (records.h), which reads the same values.
#pragma once

#include <cstdint>

#include "input/record_batch.h"
#include "input/text_window.h"

namespace haloprof {

// One reader serves one walk through the text, front to back; it takes the active tier's
// kernels when it is made.
class fast_records {
 public:
  // [begin, end) is all of the text that may be read, beyond the records walked too.
  fast_records(const char* begin, const char* end);

  // Reads the seven values of the record at p, value k into columns[k][i]; returns where
  // the last of them ends, or nullptr when the record is not in the plain form (some values
  // may then have been written).
  const char* read(const char* p, float* const* columns, std::int64_t i);

  static constexpr int words = 4;   // a record's masks: 256 bytes from its start
  static constexpr int chunk = 64;  // blocks of 64 bytes classified at a time

 private:
  const char* one_by_one(const char* p, const int* first, const int* last, float* const* columns, std::int64_t i);
  bool classify_from(const char* p);

  const char* begin_;
  const char* end_;
  const char* base_ = nullptr;   // where the classified blocks start
  const char* limit_ = nullptr;  // windows may start before this
  int batch_rest_ = 0;           // records to read value by value before trying the batch again
  classify_blocks_fn classify_;
  short_decimals_fn decimals_;
  window_masks blocks_[chunk + words] = {};  // the classified blocks, bit i for byte i
};

}  // namespace haloprof

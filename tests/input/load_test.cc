#include <gtest/gtest.h>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "input/answer.h"
#include "input/load.h"

namespace haloprof {
namespace {

struct loaded {
  run_state data;
  snapshot_findings found;
  stage_status result;
};

loaded load(const std::string& text) {
  loaded l;
  l.result = load_snapshot(l.data, text.data(), text.data() + text.size(), "snap.txt", l.found);
  return l;
}

std::vector<float> particle(const run_state& d, std::int64_t i) {
  return {d.xpar[i], d.ypar[i], d.zpar[i], d.vx[i], d.vy[i], d.vz[i], d.dens[i]};
}

TEST(Snapshot, InputFormsReadAlike) {
  const auto l = load(
      "forms 2.5\r\n"
      "0.5, 0.5 ,0.5,0,0,0,4\r\n"
      "\n"
      "0.5d0\t0.5D0\t5.0q-1 1.5+3 0 0 2 extra 99\n"
      "  \t \r\n"
      "0.50E+00 +.5 500e-3 -1.5E3 0 0 1\r\n"
      "done here\n"
      "0.5 0.5 0.5 0 0 0 100\n");
  ASSERT_TRUE(l.result.ok()) << l.result->message;
  EXPECT_EQ(2.5f, l.data.redshift);
  ASSERT_EQ(3, l.data.nhalos);
  EXPECT_EQ((std::vector<float>{0.5f, 0.5f, 0.5f, 0, 0, 0, 4}), particle(l.data, 0));
  EXPECT_EQ((std::vector<float>{0.5f, 0.5f, 0.5f, 1500, 0, 0, 2}), particle(l.data, 1));
  EXPECT_EQ((std::vector<float>{0.5f, 0.5f, 0.5f, -1500, 0, 0, 1}), particle(l.data, 2));
  EXPECT_EQ(2.5f, l.found.redshift);
  EXPECT_EQ(3, l.found.count);
  EXPECT_EQ(4.0f, l.found.dmax);
  EXPECT_EQ(1, l.found.densest);
  EXPECT_EQ(0.5, l.data.x0);
}

TEST(Snapshot, HeaderOnlyAndNoPositiveDensity) {
  for (const char* text : {"empty 0.5\n", "empty 0.5", "h 1\n0 0 0 0 0 0 0\n1 1 1 0 0 0 -3\n2 2 2 0 0 0 nan\n"}) {
    const auto l = load(text);
    ASSERT_TRUE(l.result.ok()) << l.result->message;
    EXPECT_EQ(0, l.data.x0);
    EXPECT_TRUE(l.found.loaded);
    EXPECT_EQ(0.0f, l.found.dmax);
    EXPECT_EQ(0, l.found.densest);
  }
}

TEST(Snapshot, DensestIsTheFirstOfEqualHighest) {
  const auto l = load("h 0\n1 1 1 0 0 0 2\n2 2 2 0 0 0 nan\n3 3 3 0 0 0 5\n4 4 4 0 0 0 5\n");
  ASSERT_TRUE(l.result.ok());
  EXPECT_EQ(3.0, l.data.x0);
  EXPECT_EQ(5.0f, l.found.dmax);
  EXPECT_EQ(3, l.found.densest);
}

TEST(Snapshot, LabelOnlyHeaderTakesTheRedshiftFromTheNextRecord) {
  // The label and redshift run together; the redshift is the next record's first value,
  // and the particle list starts on the record after that one in both passes.
  const auto l = load("halo1.0\n\n 3.0 ignored words\n1 2 3 4 5 6 7\n8 9 10 11 12 13 14\n");
  ASSERT_TRUE(l.result.ok()) << l.result->message;
  EXPECT_EQ(3.0f, l.data.redshift);
  ASSERT_EQ(2, l.data.nhalos);
  EXPECT_EQ(1.0f, l.data.xpar[0]);
  EXPECT_EQ(14.0f, l.data.dens[1]);
}

TEST(Snapshot, ListEndsAtFirstRecordNotStartingWithANumber) {
  // Unless the six values after the first are numbers: see the damaged records below.
  for (const char* tail : {"end of list\n9 9 9 9 9 9 9\n", ",1,2,3,4,5,6,7\n", "/\n", "end 1 2 3 4 5\n",
                           "x 1 2 3 4 5 y\n", "x 1 2 3,,4 5 6\n"}) {
    const auto l = load(std::string("h 0\n1 2 3 4 5 6 7\n") + tail);
    ASSERT_TRUE(l.result.ok()) << tail << l.result->message;
    EXPECT_EQ(1, l.data.nhalos) << tail;
  }
}

TEST(Snapshot, BrokenRecordsAreErrorsNamingTheLine) {
  struct {
    const char* text;
    const char* message;
  } rows[] = {
      {"h 0\n1 2 3 4 5 6 7\n1 2 3 4 5\n1 2 3 4 5 6 7\n",
       "snap.txt:3: expected 7 values (x y z vx vy vz dens), found 5"},
      {"h 0\n1 2 3 4 5 6", "snap.txt:2: expected 7 values (x y z vx vy vz dens), found 6"},
      {"h 0\n1 2 3 x 5 6 7\n", "snap.txt:2: value 4 (vx) is not a number: 'x'"},
      {"h 0\n1 2 3 4 5 6 7abc\n", "snap.txt:2: value 7 (dens) is not a number: '7abc'"},
      {"h 0\n1 2 3 4 5 6 1.\xff\n", "snap.txt:2: value 7 (dens) is not a number: '1.\\xff'"},
      {"h 0\n1,2,,4,5,6,7\n", "snap.txt:2: an empty value after 2 values: expected 7 values (x y z vx vy vz dens)"},
      {"h 0\n1 2 3/ 4 5 6 7\n",
       "snap.txt:2: a slash ends the record after 3 values: expected 7 values (x y z vx vy vz dens)"},
      {"h 0\n1 2 3*0.5 4 5 6 7\n",
       "snap.txt:2: value 3 (z) is not a number: '3*0.5' (repeat counts are not supported)"},
      // A damaged first value followed by six numbers is a particle record, not the end.
      {"h 0\n1 2 3 4 5 6 7\n1.5abc 1 2 3 4 5 6\n", "snap.txt:3: value 1 (x) is not a number: '1.5abc'"},
      {"h 0\n3*0.5 1 2 3 4 5 6 extra\n1 2 3 4 5 6 7\n",
       "snap.txt:2: value 1 (x) is not a number: '3*0.5' (repeat counts are not supported)"},
      {"h 0\n1 2 3 4 5 6 7\n0.5\x0b"
       "1 2,3 4 5 6 7\n",
       "snap.txt:3: value 1 (x) is not a number: '0.5\\x0b1'"},
      // Lines that end with a carriage return alone are counted by them.
      {"h 0\r1 2 3 4 5 6 7\r\r1 2 3\r", "snap.txt:4: expected 7 values (x y z vx vy vz dens), found 3"},
      {"", "snap.txt: the file is empty: expected a header with a label and the redshift"},
      {"\n  \n", "snap.txt: the file is empty: expected a header with a label and the redshift"},
      {"label\n", "snap.txt:2: the file ends after the header's label: expected the redshift"},
      {"label zero\n", "snap.txt:1: expected the redshift (a number) after the label, found 'zero'"},
      {"label ,,1\n", "snap.txt:1: expected the redshift after the label, found ','"},
  };
  for (const auto& r : rows) {
    const auto l = load(r.text);
    ASSERT_TRUE(l.result.failed()) << r.text;
    EXPECT_EQ(exit_status::bad_snapshot, l.result->status);
    EXPECT_EQ(r.message, l.result->message);
  }
}

TEST(Snapshot, FileNameAnswers) {
  struct {
    std::string answer;
    const char* name;
  } rows[] = {
      {"halo.txt\n", "halo.txt"},
      {"\n   \n  examples/halo.txt  trailing\n", "examples/halo.txt"},
      {"/abs/path/a_very_long_file_name_of_more_than_twenty_characters.txt\n",
       "/abs/path/a_very_long_file_name_of_more_than_twenty_characters.txt"},
      {"snap.txt,other\n", "snap.txt"},
      {"'my halo.txt  ' rest\n", "my halo.txt  "},  // between the quotes, exactly
      {"\"it''s \"\n", "it''s "},
      {"'no closing quote \r\n", "no closing quote"},
      {"'it''s'\n", "it's"},
      {"name-without-newline", "name-without-newline"},
      {"\tname\r\n", "name"},
      {std::string(longest_answer, ' ') + "\t after the blanks\n", "after"},  // the cap counts the name
  };
  for (const auto& r : rows) {
    std::istringstream in(r.answer);
    EXPECT_EQ(std::optional<std::string>(r.name), read_file_name(in)) << r.answer;
  }
  for (const char* none : {"", "\n\n  \n", " , name\n", "''\n"}) {
    std::istringstream in(none);
    EXPECT_EQ(std::nullopt, read_file_name(in)) << none;
  }
  std::istringstream endless(std::string(longest_answer + 3, 'n'));  // an endless line is cut
  EXPECT_EQ(longest_answer, read_file_name(endless).value_or("").size());
}

TEST(Snapshot, MemoryLimits) {
  run_state data;
  auto f = allocate_particles(data, std::int64_t{1} << 62);
  ASSERT_TRUE(f.failed());
  EXPECT_EQ(exit_status::memory, f->status);
  EXPECT_EQ("Integer overflow when calculating the amount of memory to allocate", f->message);
  f = allocate_particles(data, (std::int64_t{1} << 62) - 1);
  ASSERT_TRUE(f.failed());
  EXPECT_EQ("Allocation would exceed memory limit", f->message);
  EXPECT_TRUE(allocate_particles(data, 0).ok());
}

}  // namespace
}  // namespace haloprof

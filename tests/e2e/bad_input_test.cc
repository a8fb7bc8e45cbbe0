// Whatever the user names or the file holds: one line on standard error, the documented
// exit status, and HaloProperties.dat exactly as it was.
#include <gtest/gtest.h>
#include <filesystem>
#include <string>

#include "support/process.h"

namespace haloprof::testing {
namespace {
namespace fs = std::filesystem;

struct bad_input {
  const char* what;
  std::string content;  // written to "snap" unless empty and `answer` names something else
  std::string answer;
  int status;
  std::string message;  // the whole of standard error, without its line end
};

TEST(BadInput, SweepLeavesTheReportUntouched) {
  const std::string long_name(5000, 'n');
  const bad_input cases[] = {
      {"empty file", "", "snap", 4, "snap: the file is empty: expected a header with a label and the redshift"},
      {"binary garbage",
       std::string("\x7f"
                   "ELF\x02\x01\x01\0\0\0\0\xff\xfe\n\x01\x02",
                   17),
       "snap", 4,
       // The label runs to the line end, so the redshift is sought on the next line.
       "snap:2: expected the redshift (a number) after the label, found '\\x01\\x02\\x00'"},
      {"NUL bytes in a record", std::string("h 1\n1 2 3 4 5 6 7\n1 2 \0 4 5 6 7\n", 32), "snap", 4,
       "snap:3: value 3 (z) is not a number: '\\x00'"},
      {"a 10 MB line", "h 1\n1 2 3 " + std::string(10 << 20, 'x') + "\n", "snap", 4,
       "snap:2: value 4 (vx) is not a number: 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...'"},
      {"truncated last record", "h 1\n1 2 3 4 5 6 7\n1 2 3 4", "snap", 4,
       "snap:3: expected 7 values (x y z vx vy vz dens), found 4"},
      {"file ends inside a number", "h 1\n1 2 3 4 5 6 7\n1 2 3 4 5 6 7.5e", "snap", 4,
       "snap:3: value 7 (dens) is not a number: '7.5e'"},
      {"file ends inside the header", "label", "snap", 4,
       "snap:1: the file ends after the header's label: expected the redshift"},
      {"very long name, shown by its start and end", "", long_name, 3,
       "cannot open snapshot '" + long_name.substr(0, 120) + "..." + long_name.substr(0, 120) +
           "': File name too long"},
      {"quoted name with blanks, missing", "", "'my halo.txt'", 3,
       "cannot open snapshot 'my halo.txt': No such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    temp_dir dir;
    if (c.answer == "snap") write_file(dir / "snap", c.content);
    write_file(dir / "HaloProperties.dat", "an earlier block\n");
    const outcome o = run_haloprof(dir.path(), c.answer + "\n");
    EXPECT_EQ(c.status, o.status);
    EXPECT_EQ(c.message + "\n", o.err);
    EXPECT_EQ("an earlier block\n", read_file(dir / "HaloProperties.dat"));
  }
}

TEST(BadInput, StandardInputClosedAtOnce) {
  temp_dir dir;
  const outcome o = run_program({"/bin/sh", "-c", std::string("exec ") + HALOPROF_EXE + " <&-"}, dir.path(), "");
  EXPECT_EQ(2, o.status);
  EXPECT_EQ("no snapshot file name given on standard input (expected a name such as halo.txt)\n", o.err);
  EXPECT_FALSE(fs::exists(dir / "HaloProperties.dat"));
}

TEST(BadInput, QuotedNameWithBlanksIsRead) {
  temp_dir dir;
  write_file(dir / "my halo.txt", "h 0\n0.5 0.5 0.5 0 0 0 1\n");
  const outcome o = run_haloprof(dir.path(), "  'my halo.txt'\n");
  EXPECT_EQ(0, o.status) << o.err;
  EXPECT_TRUE(fs::exists(dir / "HaloProperties.dat"));
}

}  // namespace
}  // namespace haloprof::testing

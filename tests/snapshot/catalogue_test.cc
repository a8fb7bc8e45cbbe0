// Text halo catalogues of each kind, built by hand, read back; and each kind of bad line
// with its whole message.
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

#include "snapshot/catalogue.h"
#include "support/process.h"

namespace haloprof::testing {
namespace {

constexpr double kpc_in_cm = 3.0856775814913673e21, mpc_in_cm = 3.0856775814913673e24;

struct halo_row {
  std::int64_t id;
  double x, y, z;
  std::optional<double> radius;
};

TEST(TextCatalogue, EachKindReadsBack) {
  struct row {
    const char* what;
    std::string text;
    const char* format;
    std::vector<halo_row> halos;
    std::optional<double> length_in_cm = {};
    std::optional<int> h_exponent = {};
  };
  const row rows[] = {
      {"AHF with its ID first, Windows line ends",
       "#ID(1)\thostHalo(2) numSubStruct(3) Mvir(4) npart(5) Xc(6) Yc(7) Zc(8) VXc(9) VYc(10) VZc(11) Rvir(12) "
       "Rmax(13)\r\n"
       "7302827384959 -1 2 1.5e12 3000 50123.5 48000.25 51000 10 20 30 210.5 40\r\n"
       "7302827384960 7302827384959 0 2e11 400 50300 48100 51100.75 1 2 3 90.25 12\r\n",
       "AHF",
       {{7302827384959, 50123.5, 48000.25, 51000, 210.5}, {7302827384960, 50300, 48100, 51100.75, 90.25}}},
      {"AHF of an older version: other first columns, no ID, a blank after #",
       "# npart(1) nvpart(2) Xc(3) Yc(4) Zc(5) VXc(6) VYc(7) VZc(8) Mvir(9) Rvir(10)\n"
       "3000 3000.5 50.1235 48.00025 51 10 20 30 1.5e12 0.2105\n",
       "AHF",
       {{0, 50.1235, 48.00025, 51, 0.2105}}},
      {"Rockstar: positions in Mpc/h, radii in kpc/h handed out in Mpc/h",
       "#ID DescID Mvir Vmax Vrms Rvir Rs Np X Y Z VX VY VZ\n"
       "#a = 0.500000\n"
       "#Units: Masses in Msun / h\n"
       "#Units: Positions in Mpc / h (comoving)\n"
       "#Units: Halo Distances, Lengths, and Radii in kpc / h (comoving)\n"
       "12 -1 1.2e12 200 180 250 30 1200 50.5 48.25 51.125 1 2 3\n"
       "13 -1 1.2e11 90 80 125 10 120 10 20 30 1 2 3\n",
       "Rockstar",
       {{12, 50.5, 48.25, 51.125, 0.25}, {13, 10, 20, 30, 0.125}},
       mpc_in_cm,
       -1},
      {"Rockstar without unit lines: its usual units",
       "#ID DescID Mvir Vmax Vrms Rvir Rs Np X Y Z\n5 -1 1e12 1 1 500 1 1 1 2 3\n",
       "Rockstar",
       {{5, 1, 2, 3, 0.5}},
       mpc_in_cm,
       -1},
      {"Rockstar in kpc/h throughout",
       "#ID DescID Mvir Vmax Vrms Rvir Rs Np X Y Z\n#Units: Positions in kpc / h (comoving)\n"
       "5 -1 1e12 1 1 500 1 1 1000 2000 3000\n",
       "Rockstar",
       {{5, 1000, 2000, 3000, 500}},
       kpc_in_cm,
       -1},
      {"a plain list: comments, tabs, signs, with and without a radius",
       "# centres\n0.5 0.25 0.125 0.01\n\n  +1e-1\t2E-1 0.3   # a comment\n1 2 3 4\n",
       "plain list",
       {{0, 0.5, 0.25, 0.125, 0.01}, {1, 0.1, 0.2, 0.3, std::nullopt}, {2, 1, 2, 3, 4}}},
      {"an empty file", "", "plain list", {}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    temp_dir dir;
    write_file(dir / "cat", r.text);
    halo_catalogue c;
    const stage_status s = read_catalogue((dir / "cat").string(), c);
    ASSERT_TRUE(s.ok()) << s->message;
    EXPECT_EQ(r.format, c.format);
    ASSERT_EQ(r.halos.size(), c.halos.size());
    for (std::size_t k = 0; k < r.halos.size(); ++k) {
      EXPECT_EQ(r.halos[k].id, c.halos[k].id);
      EXPECT_EQ(r.halos[k].x, c.halos[k].centre[0]);
      EXPECT_EQ(r.halos[k].y, c.halos[k].centre[1]);
      EXPECT_EQ(r.halos[k].z, c.halos[k].centre[2]);
      EXPECT_EQ(r.halos[k].radius.has_value(), c.halos[k].radius.has_value());
      if (r.halos[k].radius) {
        EXPECT_DOUBLE_EQ(*r.halos[k].radius, c.halos[k].radius.value_or(-1));
      }
    }
    EXPECT_EQ(r.length_in_cm, c.length_in_cm);
    EXPECT_EQ(r.h_exponent, c.length_h_exponent);
  }
}

TEST(TextCatalogue, BadLinesAreNamed) {
  const std::string ahf =
      "#ID(1) hostHalo(2) numSubStruct(3) Mvir(4) npart(5) Xc(6) Yc(7) Zc(8) VXc(9) VYc(10) "
      "VZc(11) Rvir(12)\n";
  const std::string rockstar = "#ID DescID Mvir Vmax Vrms Rvir Rs Np X Y Z\n";
  struct row {
    const char* what;
    std::string text;
    std::string message;  // after "DIR/cat"
  };
  const row rows[] = {
      {"AHF, too few columns", ahf + "1 -1 0 1 1 1 2 3 4 5 6 7\n2 -1 0 1 1 1 2 3\n",
       ":3: expected at least 12 columns, found 8"},
      {"AHF, a centre that is no number", ahf + "1 -1 0 1 1 1 abc 3 4 5 6 7\n",
       ":2: column 7 (Yc) is not a number: 'abc'"},
      {"AHF, an ID that is no integer", ahf + "1.5 -1 0 1 1 1 2 3 4 5 6 7\n",
       ":2: column 1 (ID) is not an integer: '1.5'"},
      {"AHF, a header without Zc", "#ID(1) Xc(2) Yc(3) Rvir(4)\n1 2 3 4\n", ":1: the header names no column Zc"},
      {"Rockstar, a radius that is no number", rockstar + "5 -1 1e12 1 1 nan 1 1 1 2 3\n",
       ":2: column 6 (Rvir) is not a number: 'nan'"},
      {"Rockstar, a unit not known", rockstar + "#Units: Positions in furlongs / h\n",
       ":2: a length unit not known here (kpc or Mpc): '#Units: Positions in furlongs / h'"},
      {"a plain list, two columns", "1 2 3\n1 2\n", ":2: expected 3 or 4 columns (x y z [radius]), found 2"},
      {"a plain list, five columns", "1 2 3 4 5\n", ":1: expected 3 or 4 columns (x y z [radius]), found 5"},
      {"a plain list, a value cut short", "# x y z\n1 2 3e\n", ":2: column 3 (z) is not a number: '3e'"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    temp_dir dir;
    write_file(dir / "cat", r.text);
    halo_catalogue c;
    const stage_status s = read_catalogue((dir / "cat").string(), c);
    ASSERT_TRUE(s.failed());
    EXPECT_EQ(exit_status::bad_snapshot, s->status);
    EXPECT_EQ((dir / "cat").string() + r.message, s->message);
  }
  temp_dir dir;
  halo_catalogue c;
  const stage_status s = read_catalogue((dir / "none").string(), c);
  ASSERT_TRUE(s.failed());
  EXPECT_EQ(exit_status::cannot_open, s->status);
  EXPECT_EQ("cannot open '" + (dir / "none").string() + "': No such file or directory", s->message);
}

}  // namespace
}  // namespace haloprof::testing

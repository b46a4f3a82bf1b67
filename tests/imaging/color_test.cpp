// Colour notations, checked against a table and against the host's own colour reader.
#include "imaging/color.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "img_util/errors.hpp"

namespace img_util::imaging {
namespace {

struct ColorCase {
  const char* notation;
  Rgba rgba;
};

class ColorTest : public ::testing::TestWithParam<ColorCase> {};

TEST_P(ColorTest, Parses) {
  EXPECT_EQ(parse_color(GetParam().notation), GetParam().rgba) << GetParam().notation;
}

INSTANTIATE_TEST_SUITE_P(Notations, ColorTest,
                         ::testing::Values(ColorCase{"#00000080", {0, 0, 0, 128}},
                                           ColorCase{"#abc", {0xaa, 0xbb, 0xcc, 255}},
                                           ColorCase{"#ABCD", {0xaa, 0xbb, 0xcc, 0xdd}},
                                           ColorCase{"#ff8000", {255, 128, 0, 255}},
                                           ColorCase{"rgb(1, 2,3)", {1, 2, 3, 255}},
                                           ColorCase{"RGB( 10% ,50%, 100% )", {26, 128, 255, 255}},
                                           ColorCase{"rgba(255,0,0,64)", {255, 0, 0, 64}},
                                           ColorCase{"rgb(300,0,0)", {255, 0, 0, 255}},
                                           ColorCase{"red", {255, 0, 0, 255}},
                                           ColorCase{"DarkSlateGray", {47, 79, 79, 255}},
                                           ColorCase{"hsl(120, 100%, 25%)", {0, 128, 0, 255}},
                                           ColorCase{"hsl(0.5,50%,50.5%)", {192, 67, 66, 255}},
                                           ColorCase{"hsv(240, 100%, 100%)", {0, 0, 255, 255}},
                                           ColorCase{"#fff\n", {255, 255, 255, 255}}));

TEST(ColorErrors, NameTheValue) {
  for (const char* bad : {"", "#12", "#12345", "#ggg", "rgb(1,2)", "rgba(1,2,3)", "blurple",
                          "red\n", "hsl(1, 2, 3)", "rgb(1.5, 2, 3)", " red", "#fff\n\n"}) {
    try {
      parse_color(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const ValueError& e) {
      EXPECT_NE(std::string(e.what()).find("unknown color specifier"), std::string::npos)
          << e.what();
    }
  }
  try {
    parse_color("blurple");
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "unknown color specifier: 'blurple'");
  }
  EXPECT_THROW(parse_color(std::string(101, 'a')), ValueError);
}

// Every name and a spread of functional notations agree with the host library's reader.
TEST(ColorOracle, AgreesWithTheHostLibrary) {
  if (!std::filesystem::exists("/usr/bin/python3")) GTEST_SKIP();
  std::string script =
      ::testing::TempDir() + "/img_util_color_oracle_" + std::to_string(getpid()) + ".py";
  std::ofstream(script)
      << "from PIL import ImageColor\n"
         "notations = sorted(ImageColor.colormap) + ['hsl(%d, %d%%, %d%%)' % (h, s, l)\n"
         "  for h in range(0, 400, 37) for s in (0, 33, 100) for l in (0, 20, 50, 77, 100)]\n"
         "notations += ['hsb(%d, %d%%, %d%%)' % (h, s, 60) for h in range(0, 360, 45) for s in "
         "(10, 90)]\n"
         "notations += ['rgb(%d%%, 0%%, 99%%)' % p for p in range(0, 101, 7)]\n"
         "for s in notations:\n"
         "    print(s.replace(' ', '_'), *ImageColor.getcolor(s, 'RGBA'))\n";
  FILE* p = popen(("/usr/bin/python3 " + script + " 2>/dev/null").c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  if (out.empty()) GTEST_SKIP() << "python3-pil is not installed";
  std::istringstream lines(out);
  std::string notation;
  int r, g, b, a, count = 0;
  while (lines >> notation >> r >> g >> b >> a) {
    for (char& c : notation)
      if (c == '_') c = ' ';
    EXPECT_EQ(parse_color(notation), (Rgba{uint8_t(r), uint8_t(g), uint8_t(b), uint8_t(a)}))
        << notation;
    ++count;
  }
  EXPECT_GT(count, 300);
}

}  // namespace
}  // namespace img_util::imaging

// The G-code reader: every accepted form reads into the right words, every refusal names its
// line, all refusals of a program are reported at once.
#include <gtest/gtest.h>

#include "read/program.h"

namespace {

using gcode::ParseProgram;

TEST(GcodeReader, AcceptedFormsReadIntoWords) {
  const auto program = ParseProgram(
      "%\r\n"
      "N10 g1x10Y-5.5 z+.25 ( a comment ) ; and another\r\n"
      "\n"
      "  /G0 X1\n"
      "G90.1 G17 G21 G40 G49 G54 G64 G80 G94 M3 S1000 F300 T2\n"
      "(only a comment)\n"
      "G 2 X 1 I -1. J0\n"
      "%\n");
  ASSERT_TRUE(program.errors.empty()) << program.errors[0].message;
  ASSERT_EQ(program.blocks.size(), 4u);
  EXPECT_EQ(program.lineCount, 8);
  const auto& first = program.blocks[0];
  EXPECT_EQ(first.line, 2);
  EXPECT_EQ(first.gCodes, std::vector<int>{10});
  EXPECT_DOUBLE_EQ(*first.x, 10.0);
  EXPECT_DOUBLE_EQ(*first.y, -5.5);
  EXPECT_DOUBLE_EQ(*first.z, 0.25);
  EXPECT_TRUE(program.blocks[1].blockDelete);
  const auto& modal = program.blocks[2];
  EXPECT_EQ(modal.gCodes.size(), 9u);
  EXPECT_EQ(modal.gCodes[0], 901);
  EXPECT_EQ(modal.mCodes, std::vector<int>{30});
  EXPECT_EQ(*modal.t, 2);
  EXPECT_DOUBLE_EQ(*program.blocks[3].i, -1.0);
}

struct Refusal {
  const char* text;
  const char* fragment;  // part of the message
};

class GcodeRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(GcodeRefusal, NamesLineAndReason) {
  const Refusal& refusal = GetParam();
  const auto program = ParseProgram(std::string("G21\n(fine)\n") + refusal.text + "\nG0 X1\n");
  ASSERT_EQ(program.errors.size(), 1u) << refusal.text;
  EXPECT_EQ(program.errors[0].line, 3);
  EXPECT_NE(program.errors[0].message.find(refusal.fragment), std::string::npos)
      << program.errors[0].message;
  EXPECT_EQ(program.blocks.size(), 2u);  // the refused line is not kept
}

INSTANTIATE_TEST_SUITE_P(
    Subset, GcodeRefusal,
    testing::Values(Refusal{"O100 sub", "O-words"}, Refusal{"G59.1", "work offsets 7-9"},
                    Refusal{"G76 P1 Z-1", "synchronised"}, Refusal{"G5.1 X1 I1", "splines"},
                    Refusal{"G33 Z-1 K1", "G33"}, Refusal{"G38.2 Z-5", "probing"},
                    Refusal{"G41 D1", "compensation"}, Refusal{"G42 D1", "compensation"},
                    Refusal{"G92.2", "G92.2"}, Refusal{"G43.2 H1", "G43 H"},
                    Refusal{"G84 Z-1 R1", "canned cycle"}, Refusal{"G87 Z-1 R1 Q1", "canned cycle"},
                    Refusal{"G93", "inverse-time"}, Refusal{"G95", "per-revolution"},
                    Refusal{"G0 G1 X1", "one modal group"}, Refusal{"G90 G91", "one modal group"},
                    Refusal{"G20 G21", "one modal group"}, Refusal{"M3 M5", "one modal group"},
                    Refusal{"G4 G28", "one modal group"}, Refusal{"G1 X", "has no number"},
                    Refusal{"G1 X Y2", "has no number"}, Refusal{"G1 10", "no word"},
                    Refusal{"G1 X1 X2", "two 'X'"}, Refusal{"G1 A5", "'A' is not supported"},
                    Refusal{"G7", "G7 is not supported"}, Refusal{"M98 P100", "subroutines"},
                    Refusal{"M62 P1", "M62"}, Refusal{"G1 X1 (open", "not closed"},
                    Refusal{"G1 X1e5", "'E'"}, Refusal{"G1 X99999999999", "too large"},
                    Refusal{"G1 X1 %", "'%'"}, Refusal{"G1\x01X1", "0x01"},
                    Refusal{"M3.5", "not supported"}, Refusal{"G318556000", "not supported"}));

TEST(GcodeReader, EveryRefusalAtOnce) {
  const auto program = ParseProgram("G1 X1\nG84\nG1 X2\nG1 A5\nO1 call\nG1 Y\n");
  ASSERT_EQ(program.errors.size(), 4u);
  EXPECT_EQ(program.errors[0].line, 2);
  EXPECT_EQ(program.errors[1].line, 4);
  EXPECT_EQ(program.errors[2].line, 5);
  EXPECT_EQ(program.errors[3].line, 6);
}

TEST(GcodeReader, AnyBytesAreSafe) {
  std::string bytes;
  for (int i = 0; i < 4096; ++i) bytes += static_cast<char>((i * 131 + 7) % 256);
  const auto program = ParseProgram(bytes);
  EXPECT_FALSE(program.errors.empty());
  EXPECT_EQ(ParseProgram("").lineCount, 0);
}

}  // namespace

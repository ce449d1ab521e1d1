// G-code reader: turns a program's text into blocks of words, one per line, with every refusal
// of the accepted subset named with its line number. Knows the words and modal groups only;
// what the words mean is the interpreter's (planner.h). Calls nothing below it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "read/codes.h"
#include "read/parameters.h"

namespace gcode {

struct Message {
  int line;  // 1-based; 0 for the program as a whole
  std::string message;
  // Errors: what kind of refusal, stable across releases ("arc-end-off-circle"); notes: empty.
  std::string code = {};
};

// One line's words: the codes in their named modal slots, and as written (in tenths: G90.1 is
// 901, G1 is 10, M30 is 300) for listings.
struct Block {
  int line = 0;
  bool blockDelete = false;  // began with '/': run anyway (the block delete switch is off)
  ModalBlock modal;
  std::vector<int> gCodes;
  std::vector<int> mCodes;
  std::optional<double> x, y, z, i, j, k, r, p, q, f, s;
  std::optional<double> h;  // G43's tool number
  std::optional<int> t;
  std::optional<int> l;  // repeats of a drilling cycle
  // Polar coordinates in the XY plane: @ the radius (a length), ^ the angle in degrees,
  // counter-clockwise from +X about the program's XY origin.
  std::optional<double> polarRadius, polarAngleDeg;
  // A program number on a line of its own ("O1001 (pocket)"): the line holds nothing else.
  std::optional<std::string> programName;
  // A refused line (LineKind::error): its error's code, and the axes it names (bit 0 X, 1 Y,
  // 2 Z), whose positions after it are not known.
  std::string errorCode;
  std::uint8_t refusedAxes = 0;
  // A line with parameters or expressions read without them (ParseProgram, or ReadLine given no
  // store): its text, which the interpreter reads again with its parameters when the line runs.
  // Empty for every other line.
  std::string unevaluated;
  bool HasPolar() const { return polarRadius || polarAngleDeg; }
  bool HasAxisWord() const { return x || y || z || HasPolar(); }
};

struct Program {
  std::vector<Block> blocks;            // lines with at least one word, in order
  std::vector<Message> errors;          // every refused line, in order, one message per line
  std::vector<std::uint8_t> errorAxes;  // beside each error: the axes its line names (Block)
  int lineCount = 0;                    // lines of the text, blank and comment lines included
};

// Reads the whole text; never throws, accepts any bytes.
Program ParseProgram(std::string_view text);

// What one line of a program is.
enum class LineKind { empty, block, error };

// Reads one line (without its LF; a CR before it, or two as in CR CR LF, end the line too, and
// any other CR is white space): a block of words, an error (`error` says why), or nothing
// (blank, comments, line numbers, '%'). A program number line comes back as a block with only
// `programName` set; an error comes back as a block with `errorCode` and `refusedAxes` set.
LineKind ReadLine(std::string_view text, int line, Block& block, std::string& error);
// As above with the interpreter's parameters: values, expressions and parameter settings are
// evaluated against `parameters` (the settings are held there until its EndLine). Without them
// (nullptr) a line that needs them comes back as a block with only `unevaluated` set.
LineKind ReadLine(std::string_view text, int line, Block& block, std::string& error,
                  Parameters* parameters);

// Longest program line accepted, in bytes (a longer one is an error naming its line).
inline constexpr std::size_t maxLineBytes = std::size_t{64} * 1024;
// Most digits a number may have (more are refused as too many digits, never misread).
inline constexpr std::size_t maxNumberDigits = 64;

// "G90.1", "G1", "M30": a code in tenths with its letter.
std::string CodeName(char letter, int tenths);

// Largest magnitude a number may have (1e9: far beyond any table, small enough for steps).
inline constexpr double maxNumber = 1e9;

}  // namespace gcode

// The scale of an SVG plot, shared by the runner's record plot and the G-code path plot: round
// tick steps, tick positions, and text made safe for SVG. No layer below; the plots call it.
// The live page (view/page.js) draws its ticks by the same rule.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace svg {

// A round step (1, 2 or 5 times a power of ten) that cuts `span` into about `wantedTicks` parts
// at most; at least minStep (1 for an axis in whole steps). A span of zero counts as 1e-9.
double NiceStep(double span, int wantedTicks, double minStep = 0);

// Widens [low, high] to whole tick steps; a flat range gets a unit of room either side.
void NiceRange(double& low, double& high, int wantedTicks);

// The whole multiples of `step` inside [low, high] (at most maxTicks), each computed from its
// index, so that a long axis does not drift off the round values as a running sum would.
constexpr std::size_t maxTicks = 50;
std::vector<double> Ticks(double low, double high, double step);

// Text from the input as XML character data or attribute value (quoted with ' or "): the markup
// characters escaped, and every byte that is not part of well-formed UTF-8 or is a control
// character XML does not allow replaced by U+FFFD, so that the picture parses for any input.
std::string Escape(const std::string& text);

}  // namespace svg

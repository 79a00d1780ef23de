#pragma once
#include <windows.h>

// The picture the tests that record the screen show: four quarters, in the
// first set of colours, then the second, then the third. The Windows workflow
// checks the first, middle and last frame of each recording they keep against
// the same figures.
struct Colour {
    BYTE red, green, blue;
};
// Top-left, top-right, bottom-left, bottom-right. No two are alike, so a
// mirrored, flipped, shifted or stale picture shows.
const Colour QUARTER_COLOURS[3][4] = {
    {{200, 40, 40}, {40, 160, 40}, {40, 60, 200}, {200, 200, 40}},
    {{40, 180, 180}, {180, 40, 180}, {230, 140, 30}, {120, 120, 120}},
    {{240, 240, 240}, {30, 30, 30}, {150, 90, 40}, {90, 170, 230}},
};
// The encoder's 4:2:0 and colour matrix may move a flat colour this far.
const int COLOUR_TOLERANCE = 24;

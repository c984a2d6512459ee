#pragma once

#include <vector>

namespace sondrel {

// What one list column asks for, in pixels.
struct ColumnNeed {
    int least = 0;     // its title, and its widest expected text unless free text
    int intended = 0;  // its share of a roomy list
    bool freeText = false;
};

// Section widths that fit `available` pixels: every column gets its intended
// width but never less than its least. Where that is too wide, the free-text
// columns give way first, in proportion to their intended widths, down to
// their least; where even that is too wide, the other columns close up on
// their least and the free text shares what is left. No column goes below its
// least, so a list too narrow for all of them scrolls.
std::vector<int> fitColumnWidths(const std::vector<ColumnNeed>& columns, int available);

}  // namespace sondrel

#include "ui/column_widths.h"

#include <algorithm>
#include <cstddef>

namespace sondrel {

namespace {

// Narrows the chosen columns to `budget` pixels together, each to a share of
// its intended width but not below its least.
void shrinkTo(const std::vector<ColumnNeed>& columns, const std::vector<bool>& chosen, int budget,
              std::vector<int>& widths) {
    std::vector<bool> atLeast(columns.size(), false);
    for (;;) {
        long long fixed = 0;
        long long scalable = 0;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (!chosen[i]) continue;
            if (atLeast[i]) fixed += columns[i].least;
            else scalable += std::max(columns[i].intended, 1);
        }
        if (scalable == 0 || fixed >= budget) {
            for (std::size_t i = 0; i < columns.size(); ++i)
                if (chosen[i]) widths[i] = columns[i].least;
            return;
        }
        const double scale = double(budget - fixed) / double(scalable);
        bool clamped = false;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (!chosen[i] || atLeast[i]) continue;
            const int share = int(std::max(columns[i].intended, 1) * scale);
            if (share <= columns[i].least) {
                atLeast[i] = true;
                clamped = true;
            }
            widths[i] = std::max(share, columns[i].least);
        }
        if (!clamped) return;
    }
}

}  // namespace

std::vector<int> fitColumnWidths(const std::vector<ColumnNeed>& columns, int available) {
    std::vector<int> widths(columns.size());
    std::vector<bool> freeText(columns.size());
    int freeIntended = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        widths[i] = std::max(columns[i].least, columns[i].intended);
        freeText[i] = columns[i].freeText;
        if (freeText[i]) freeIntended += widths[i];
    }
    const auto sum = [&](bool ofFreeText) {
        int total = 0;
        for (std::size_t i = 0; i < columns.size(); ++i)
            if (freeText[i] == ofFreeText) total += widths[i];
        return total;
    };
    if (sum(true) + sum(false) <= available) return widths;
    shrinkTo(columns, freeText, available - sum(false), widths);
    if (sum(true) + sum(false) <= available) return widths;
    // Free text cut to its titles would leave the other columns room to spare
    // that says nothing, so they close up on their texts and it takes the rest.
    for (std::size_t i = 0; i < columns.size(); ++i)
        if (!freeText[i]) widths[i] = columns[i].least;
    shrinkTo(columns, freeText, std::min(available - sum(false), freeIntended), widths);
    return widths;
}

}  // namespace sondrel

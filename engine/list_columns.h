#pragma once

#include <cstddef>
#include <vector>

#include "engine/report_list.h"

namespace sondrel {

// Column indexes of the Applications list, shared by the list itself and the
// reports that read it.
enum AppColumn : std::size_t {
    AppName = 0,
    AppUl = 1,
    AppDl = 2,
    AppLastHost = 3,
    AppUlRate = 4,
    AppDlRate = 5,
    AppColumnCount = 6,
};

// Column indexes of the Details list, shared by the list itself and the
// reports that read it.
enum DetailColumn : std::size_t {
    DetailLocalPort = 0,
    DetailUl = 1,
    DetailDl = 2,
    DetailRemoteIp = 3,
    DetailRemotePort = 4,
    DetailRemoteHostName = 5,
    DetailUlRate = 6,
    DetailDlRate = 7,
    DetailInterface = 8,
    DetailColumnCount = 9,
};

// Titles, widths and sort rules, one per column above and in that order.
std::vector<ColumnSpec> applicationColumns();
std::vector<ColumnSpec> detailColumns();

}  // namespace sondrel

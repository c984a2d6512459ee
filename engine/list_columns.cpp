#include "engine/list_columns.h"

#include "engine/main_lists.h"

namespace sondrel {

namespace {

// Every count below 2^40 bytes shows in megabytes at most this wide; a count in
// gigabytes needs eight exabytes for as many digits.
std::vector<std::u16string> widestCount() { return {FormatByteCount((std::uint64_t(1) << 40) - 1)}; }
std::vector<std::u16string> widestRate() { return {u"9999 MB/s"}; }
std::vector<std::u16string> widestPort() { return {u"TCP:65535", u"UDP:65535"}; }

}  // namespace

// The rate columns follow the columns the reports read, so those keep their places.
std::vector<ColumnSpec> applicationColumns() {
    std::vector<ColumnSpec> columns(AppColumnCount);
    columns[AppName] = {u"Application", 350};
    columns[AppUl] = {u"UL", 70, true, widestCount()};
    columns[AppDl] = {u"DL", 70, true, widestCount()};
    columns[AppLastHost] = {u"The last remote host", 250};
    columns[AppUlRate] = {u"UL/s", 70, true, widestRate()};
    columns[AppDlRate] = {u"DL/s", 70, true, widestRate()};
    return columns;
}

std::vector<ColumnSpec> detailColumns() {
    std::vector<ColumnSpec> columns(DetailColumnCount);
    columns[DetailLocalPort] = {u"Local port", 70, false, widestPort()};
    columns[DetailUl] = {u"UL", 70, true, widestCount()};
    columns[DetailDl] = {u"DL", 70, true, widestCount()};
    // IPv6 addresses may be cut on screen; the cell and the reports keep the whole text.
    columns[DetailRemoteIp] = {u"Remote IP", 150, false, {u"255.255.255.255"}};
    columns[DetailRemotePort] = {u"Remote port", 90, false, widestPort()};
    columns[DetailRemoteHostName] = {u"Remote hostname", 300};
    columns[DetailUlRate] = {u"UL/s", 70, true, widestRate()};
    columns[DetailDlRate] = {u"DL/s", 70, true, widestRate()};
    // Names as udev gives them to on-board and PCI devices.
    columns[DetailInterface] = {u"Interface", 80, false, {u"wlp0s20f3", u"enp0s31f6"}};
    return columns;
}

}  // namespace sondrel

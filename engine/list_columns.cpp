#include "engine/list_columns.h"

namespace sondrel {

// The rate columns follow the columns the reports read, so those keep their places.
std::vector<ColumnSpec> applicationColumns() {
    std::vector<ColumnSpec> columns(AppColumnCount);
    columns[AppName] = {u"Application", 350};
    columns[AppUl] = {u"UL", 70, true};
    columns[AppDl] = {u"DL", 70, true};
    columns[AppLastHost] = {u"The last remote host", 250};
    columns[AppUlRate] = {u"UL/s", 70, true};
    columns[AppDlRate] = {u"DL/s", 70, true};
    return columns;
}

std::vector<ColumnSpec> detailColumns() {
    std::vector<ColumnSpec> columns(DetailColumnCount);
    columns[DetailLocalPort] = {u"Local port", 70};
    columns[DetailUl] = {u"UL", 70, true};
    columns[DetailDl] = {u"DL", 70, true};
    columns[DetailRemoteIp] = {u"Remote IP", 150};
    columns[DetailRemotePort] = {u"Remote port", 90};
    columns[DetailRemoteHostName] = {u"Remote hostname", 300};
    columns[DetailUlRate] = {u"UL/s", 70, true};
    columns[DetailDlRate] = {u"DL/s", 70, true};
    columns[DetailInterface] = {u"Interface", 80};
    return columns;
}

}  // namespace sondrel

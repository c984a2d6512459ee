#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QDateEdit>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <QtTest>
#include <map>

#include "ui/data_caps_dlg.h"
#include "ui/history_chart.h"
#include "ui/history_tables.h"
#include "ui/history_window.h"

using namespace sondrel;

Q_DECLARE_METATYPE(std::vector<DataCap>)

namespace {

constexpr std::uint64_t kMB = 1 << 20;
const QDate kToday(2024, 3, 10);

HistoryDay dayOf(QDate date) { return HistoryDay(QDate(1970, 1, 1).daysTo(date)); }

struct Counted {
    std::u16string application;
    std::u16string remote;
    QDate date;
    std::uint64_t ul;
    std::uint64_t dl;
};

// What a store answers, computed the plain way from every counted row.
class FakeHistory final : public HistoryView {
public:
    std::vector<Counted> rows;

    std::vector<ApplicationTotal> applications(const HistoryRange& range) const override {
        std::map<std::u16string, ApplicationTotal> sums;
        for (const Counted& row : inRange(range)) add(sums[row.application], row).name = row.application;
        return byTotal<ApplicationTotal>(sums, [](const auto& x) { return x.name; });
    }
    std::vector<EndpointTotal> endpoints(const HistoryRange& range, const std::u16string& app) const override {
        std::map<std::u16string, EndpointTotal> sums;
        for (const Counted& row : inRange(range))
            if (row.application == app) add(sums[row.remote], row).remote = row.remote;
        return byTotal<EndpointTotal>(sums, [](const auto& x) { return x.remote; });
    }
    std::vector<DayTotal> days(const HistoryRange& range, const std::optional<std::u16string>& app) const override {
        std::map<HistoryDay, DayTotal> sums;
        for (const Counted& row : inRange(range))
            if (!app || row.application == *app) add(sums[dayOf(row.date)], row).day = dayOf(row.date);
        std::vector<DayTotal> out;
        for (const auto& [day, total] : sums) out.push_back(total);
        return out;
    }

private:
    std::vector<Counted> inRange(const HistoryRange& range) const {
        std::vector<Counted> out;
        for (const Counted& row : rows)
            if (dayOf(row.date) >= range.first && dayOf(row.date) <= range.last) out.push_back(row);
        return out;
    }
    template <typename T>
    static T& add(T& sum, const Counted& row) {
        sum.ulBytes += row.ul;
        sum.dlBytes += row.dl;
        return sum;
    }
    template <typename T, typename Map, typename Key>
    static std::vector<T> byTotal(const Map& sums, Key key) {
        std::vector<T> out;
        for (const auto& entry : sums) out.push_back(entry.second);
        std::stable_sort(out.begin(), out.end(), [&](const T& a, const T& b) {
            const auto ta = a.ulBytes + a.dlBytes, tb = b.ulBytes + b.dlBytes;
            return ta != tb ? ta > tb : key(a) < key(b);
        });
        return out;
    }
};

FakeHistory sample() {
    FakeHistory view;
    view.rows = {
        {u"firefox", u"1.1.1.1", kToday, 1 * kMB, 10 * kMB},
        {u"firefox", u"2.2.2.2", kToday.addDays(-1), 0, 5 * kMB},
        {u"firefox", u"1.1.1.1", QDate(2024, 3, 2), 0, 100 * kMB},
        {u"curl", u"3.3.3.3", kToday, 2 * kMB, 1 * kMB},
        {u"curl", u"3.3.3.3", kToday.addDays(-3), 0, 20 * kMB},
        {u"ssh", u"4.4.4.4", kToday.addDays(-1), 4 * kMB, 4 * kMB},
        {u"ssh", u"4.4.4.4", QDate(2024, 2, 28), 0, 1000 * kMB},
    };
    return view;
}

QStringList column(const QAbstractItemModel& model, int col, int role = Qt::DisplayRole) {
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row) texts << model.index(row, col).data(role).toString();
    return texts;
}

void clickHeader(QTableView& view, int section) {
    QHeaderView* header = view.horizontalHeader();
    const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
}

// A window over the sample, shown, with both models under the tester.
struct Shown {
    FakeHistory view = sample();
    HistoryWindow window{view, [] { return kToday; }};
    QAbstractItemModelTester appsTester{&window.applicationsModel(), QAbstractItemModelTester::FailureReportingMode::QtTest};
    QAbstractItemModelTester hostsTester{&window.endpointsModel(), QAbstractItemModelTester::FailureReportingMode::QtTest};
    Shown() {
        window.show();
        window.rangeBox().setCurrentIndex(HistoryWindow::Last7Days);
    }
    QStringList names() { return column(window.applicationsModel(), ApplicationTotalsModel::Name); }
};

}  // namespace

class TestHistoryWindow : public QObject {
    Q_OBJECT
private slots:
    void rangesShowTheirRows_data();
    void rangesShowTheirRows();
    void headerClickSortsAndReverses_data();
    void headerClickSortsAndReverses();
    void selectionFillsHostsAndChart();
    void selectionKeptAcrossRefresh();
    void hostileNamesStayOnOneLine();
    void dataCapsOkReturnsTheRows();
    void dataCapsRefusesBadLimits_data();
    void dataCapsRefusesBadLimits();
};

void TestHistoryWindow::rangesShowTheirRows_data() {
    QTest::addColumn<int>("choice");
    QTest::addColumn<QDate>("from");  // chosen range only; From is set first
    QTest::addColumn<QDate>("to");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("shares");
    QTest::addColumn<QString>("total");
    QTest::newRow("today") << int(HistoryWindow::Today) << QDate() << QDate() << QStringList{"firefox", "curl"}
                           << QStringList{"78.6 %", "21.4 %"} << "Total: 14 MB (UL 3 MB, DL 11 MB)";
    QTest::newRow("yesterday") << int(HistoryWindow::Yesterday) << QDate() << QDate()
                               << QStringList{"ssh", "firefox"} << QStringList{"61.5 %", "38.5 %"}
                               << "Total: 13 MB (UL 4 MB, DL 9 MB)";
    QTest::newRow("last 7 days leave the 2nd out")
        << int(HistoryWindow::Last7Days) << QDate() << QDate() << QStringList{"curl", "firefox", "ssh"}
        << QStringList{"48.9 %", "34.0 %", "17.0 %"} << "Total: 47 MB (UL 7 MB, DL 40 MB)";
    QTest::newRow("this month from the 1st") << int(HistoryWindow::ThisMonth) << QDate() << QDate()
                                             << QStringList{"firefox", "curl", "ssh"}
                                             << QStringList{"78.9 %", "15.6 %", "5.4 %"}
                                             << "Total: 147 MB (UL 7 MB, DL 140 MB)";
    QTest::newRow("chosen across the month's end")
        << int(HistoryWindow::ChosenRange) << QDate(2024, 2, 28) << QDate(2024, 3, 1) << QStringList{"ssh"}
        << QStringList{"100.0 %"} << "Total: 1000 MB (UL 0 B, DL 1000 MB)";
    QTest::newRow("chosen To before From moves From back")
        << int(HistoryWindow::ChosenRange) << QDate(2024, 3, 9) << QDate(2024, 3, 2) << QStringList{"firefox"}
        << QStringList{"100.0 %"} << "Total: 100 MB (UL 0 B, DL 100 MB)";
    QTest::newRow("chosen days with nothing") << int(HistoryWindow::ChosenRange) << QDate(2023, 1, 1)
                                              << QDate(2023, 1, 31) << QStringList{} << QStringList{}
                                              << "Total: 0 B (UL 0 B, DL 0 B)";
}

void TestHistoryWindow::rangesShowTheirRows() {
    QFETCH(int, choice);
    QFETCH(QDate, from);
    QFETCH(QDate, to);
    QFETCH(QStringList, names);
    QFETCH(QStringList, shares);
    QFETCH(QString, total);
    Shown shown;
    HistoryWindow& window = shown.window;
    window.rangeBox().setCurrentIndex(choice);
    QCOMPARE(window.fromEdit().isEnabled(), choice == HistoryWindow::ChosenRange);
    if (from.isValid()) {
        window.fromEdit().setDate(from);
        window.toEdit().setDate(to);
        QCOMPARE(window.fromEdit().date(), std::min(from, to));
    }
    QCOMPARE(shown.names(), names);
    QCOMPARE(column(window.applicationsModel(), ApplicationTotalsModel::Share), shares);
    QCOMPARE(window.totalLabel().text(), total);
    const HistoryRange range = window.range();
    QCOMPARE(window.chart().bars().size(), std::size_t(range.last - range.first + 1));
}

void TestHistoryWindow::headerClickSortsAndReverses_data() {
    QTest::addColumn<int>("section");
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("second");
    QTest::newRow("names A to Z") << int(ApplicationTotalsModel::Name) << QStringList{"curl", "firefox", "ssh"}
                                  << QStringList{"ssh", "firefox", "curl"};
    QTest::newRow("UL largest first") << int(ApplicationTotalsModel::Ul) << QStringList{"ssh", "curl", "firefox"}
                                      << QStringList{"firefox", "curl", "ssh"};
    // 20 MB above 10 MB: by value, not by text.
    QTest::newRow("DL by value") << int(ApplicationTotalsModel::Dl) << QStringList{"curl", "firefox", "ssh"}
                                 << QStringList{"ssh", "firefox", "curl"};
    QTest::newRow("share as total") << int(ApplicationTotalsModel::Share) << QStringList{"curl", "firefox", "ssh"}
                                    << QStringList{"ssh", "firefox", "curl"};
}

void TestHistoryWindow::headerClickSortsAndReverses() {
    QFETCH(int, section);
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    Shown shown;
    QTableView& view = shown.window.applicationsView();
    if (section == ApplicationTotalsModel::Share) clickHeader(view, ApplicationTotalsModel::Name);
    clickHeader(view, section);
    QCOMPARE(shown.names(), first);
    clickHeader(view, section);
    QCOMPARE(shown.names(), second);
    // A refresh keeps the order chosen.
    shown.window.refreshButton().click();
    QCOMPARE(shown.names(), second);
}

void TestHistoryWindow::selectionFillsHostsAndChart() {
    Shown shown;
    HistoryWindow& window = shown.window;
    HistoryChart& chart = window.chart();
    QCOMPARE(chart.peak(), 20 * kMB);  // all applications: curl's 20 MB three days ago
    QCOMPARE(chart.subject(), QStringLiteral("All applications"));
    QCOMPARE(window.endpointsModel().rowCount(), 0);

    const QModelIndex firefox = window.applicationsModel().index(shown.names().indexOf("firefox"), 1);
    QTest::mouseClick(window.applicationsView().viewport(), Qt::LeftButton, {},
                      window.applicationsView().visualRect(firefox).center());
    QCOMPARE(window.selectedApplication(), std::optional<std::u16string>(u"firefox"));
    QCOMPARE(column(window.endpointsModel(), EndpointTotalsModel::Remote), (QStringList{"1.1.1.1", "2.2.2.2"}));
    QCOMPARE(column(window.endpointsModel(), EndpointTotalsModel::Total), (QStringList{"11 MB", "5 MB"}));

    std::vector<std::pair<std::uint64_t, std::uint64_t>> bars;
    for (const DayTotal& bar : chart.bars()) bars.emplace_back(bar.ulBytes, bar.dlBytes);
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {
        {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 5 * kMB}, {1 * kMB, 10 * kMB}};
    QCOMPARE(bars, expected);
    QCOMPARE(chart.bars().front().day, dayOf(kToday.addDays(-6)));
    QCOMPARE(chart.peak(), 11 * kMB);
    QCOMPARE(chart.barToolTip(6), QStringLiteral("2024-03-10\nUL 1 MB\nDL 10 MB"));
    QCOMPARE(chart.barToolTip(7), QString());
    const QPoint inLastSlot(chart.width() - 8, chart.height() / 2);
    QCOMPARE(chart.barAt(inLastSlot), 6);

    clickHeader(window.endpointsView(), EndpointTotalsModel::Remote);
    clickHeader(window.endpointsView(), EndpointTotalsModel::Remote);
    QCOMPARE(column(window.endpointsModel(), EndpointTotalsModel::Remote), (QStringList{"2.2.2.2", "1.1.1.1"}));
}

void TestHistoryWindow::selectionKeptAcrossRefresh() {
    Shown shown;
    HistoryWindow& window = shown.window;
    QVERIFY(window.selectApplication(u"ssh"));
    // ssh climbs to the top: still the one selected, at its new row.
    shown.view.rows.push_back({u"ssh", u"5.5.5.5", kToday, 0, 50 * kMB});
    window.refreshButton().click();
    const QModelIndexList selected = window.applicationsView().selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.front().row(), 0);
    QCOMPARE(selected.front().data().toString(), QStringLiteral("ssh"));
    QCOMPARE(column(window.endpointsModel(), EndpointTotalsModel::Remote), (QStringList{"5.5.5.5", "4.4.4.4"}));

    window.hide();
    shown.view.rows.push_back({u"curl", u"3.3.3.3", kToday, 0, 500 * kMB});
    window.show();
    QCOMPARE(shown.names().front(), QStringLiteral("curl"));
    QCOMPARE(window.selectedApplication(), std::optional<std::u16string>(u"ssh"));

    // A range without it: nothing selected, the chart back to all applications.
    window.rangeBox().setCurrentIndex(HistoryWindow::Today);
    window.rangeBox().setCurrentIndex(HistoryWindow::Last7Days);
    QCOMPARE(window.selectedApplication(), std::optional<std::u16string>(u"ssh"));
    window.rangeBox().setCurrentIndex(HistoryWindow::ChosenRange);
    window.fromEdit().setDate(QDate(2024, 3, 2));
    window.toEdit().setDate(QDate(2024, 3, 2));
    QCOMPARE(window.selectedApplication(), std::nullopt);
    QVERIFY(window.applicationsView().selectionModel()->selectedRows().isEmpty());
    QCOMPARE(window.chart().subject(), QStringLiteral("All applications"));
}

void TestHistoryWindow::hostileNamesStayOnOneLine() {
    Shown shown;
    const std::u16string longName = u"evil\u202Ename\nwith\ttabs\u2066" + std::u16string(3000, u'x') + u"\u200F";
    shown.view.rows.push_back({longName, u"9.9.9.9", kToday, 0, 1});
    shown.window.refresh();
    HistoryWindow& window = shown.window;
    QTableView& view = window.applicationsView();
    const int row = window.applicationsModel().rowOf(longName);
    QVERIFY(row >= 0);
    const QModelIndex cell = window.applicationsModel().index(row, ApplicationTotalsModel::Name);
    const QString shown_ = cell.data().toString();
    QVERIFY(shown_.startsWith(QStringLiteral("evil<U+202E>name\\x0awith\\x09tabs<U+2066>xxx")));
    QVERIFY(shown_.endsWith(QStringLiteral("x<U+200F>")));
    QCOMPARE(cell.data(Qt::ToolTipRole).toString(), shown_);

    QCOMPARE(view.textElideMode(), Qt::ElideMiddle);
    QCOMPARE(view.rowHeight(row), view.rowHeight(row == 0 ? 1 : 0));
    int widths = 0;
    for (int c = 0; c < ApplicationTotalsModel::ColumnCount; ++c) widths += view.columnWidth(c);
    QVERIFY(widths <= view.viewport()->width());
    QVERIFY(view.columnWidth(ApplicationTotalsModel::Name) < view.fontMetrics().horizontalAdvance(shown_));
    QVERIFY(window.sizeHint().width() < 1000);
}

void TestHistoryWindow::dataCapsOkReturnsTheRows() {
    const DataCap kept{DataCap::Period::Day, u"curl", 500 * kMB};
    DataCapsDlg dialog({kept}, {"curl", "firefox"});
    dialog.show();
    QCOMPARE(dialog.limitEdit(0).text(), QStringLiteral("500"));
    QCOMPARE(dialog.unitBox(0).currentText(), QStringLiteral("MB"));
    QCOMPARE(dialog.periodBox(0).currentText(), QStringLiteral("Daily"));

    dialog.addButton().click();
    QCOMPARE(dialog.table().rowCount(), 2);
    QCOMPARE(dialog.applicationBox(1).currentText(), QStringLiteral("All applications"));
    dialog.applicationBox(1).setCurrentText(QStringLiteral("firefox"));
    dialog.limitEdit(1).setText(QStringLiteral("1.5"));
    dialog.unitBox(1).setCurrentIndex(1);
    dialog.addButton().click();
    dialog.removeButton().click();  // the new row is the current one
    dialog.okButton().click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    const std::vector<DataCap> expected = {kept, {DataCap::Period::Month, u"firefox", 1536 * kMB}};
    QVERIFY(dialog.caps() == expected);
}

void TestHistoryWindow::dataCapsRefusesBadLimits_data() {
    QTest::addColumn<QString>("limit");
    for (const char* bad : {"0", "abc", "", "-2", "1e30", "0.0000001"}) QTest::newRow(bad) << QString::fromLatin1(bad);
}

void TestHistoryWindow::dataCapsRefusesBadLimits() {
    QFETCH(QString, limit);
    DataCapsDlg dialog({{DataCap::Period::Month, {}, 10 * kMB}, {DataCap::Period::Month, {}, 20 * kMB}});
    dialog.show();
    dialog.limitEdit(1).setText(limit);
    dialog.okButton().click();
    QVERIFY(dialog.isVisible());
    QVERIFY(dialog.messageLabel().isVisible());
    QCOMPARE(dialog.messageLabel().text(), QStringLiteral("Row 2: the limit must be a number greater than 0."));
    QVERIFY(dialog.caps().empty());
}

QTEST_MAIN(TestHistoryWindow)
#include "test_history_window.moc"

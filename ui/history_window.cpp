#include "ui/history_window.h"

#include <QComboBox>
#include <QDateEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

#include "engine/main_lists.h"
#include "ui/history_chart.h"
#include "ui/history_date.h"
#include "ui/history_tables.h"

namespace sondrel {

namespace {

// The history starts with the epoch of its day numbers.
const QDate kFirstDate(1970, 1, 1);

QString bytesText(std::uint64_t bytes) { return QString::fromStdU16String(FormatByteCount(bytes)); }

QTableView* makeTable(SortedTotalsModel* model, int totalColumn, QWidget* parent) {
    auto* view = new QTableView(parent);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // A long or hostile name is cut in its middle on one line, never widens
    // the table and never makes its row taller; the tooltip has it whole.
    view->setTextElideMode(Qt::ElideMiddle);
    view->setWordWrap(false);
    view->setAlternatingRowColors(true);
    view->verticalHeader()->hide();
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    QHeaderView* header = view->horizontalHeader();
    header->setStretchLastSection(false);
    header->setSectionsClickable(true);
    for (int column = 0; column < model->columnCount(); ++column)
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    header->setSortIndicator(totalColumn, Qt::DescendingOrder);
    view->setSortingEnabled(true);
    return view;
}

}  // namespace

HistoryWindow::HistoryWindow(const HistoryView& view, TodaySource today, QWidget* parent)
    : QWidget(parent, Qt::Window), m_view(view), m_today(std::move(today)) {
    setWindowTitle(QStringLiteral("History"));

    m_rangeBox = new QComboBox(this);
    m_rangeBox->addItems({QStringLiteral("Today"), QStringLiteral("Yesterday"), QStringLiteral("Last 7 days"),
                          QStringLiteral("This month"), QStringLiteral("Chosen range")});
    m_fromEdit = new QDateEdit(this);
    m_toEdit = new QDateEdit(this);
    for (QDateEdit* edit : {m_fromEdit, m_toEdit}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        edit->setMinimumDate(kFirstDate);
        edit->setEnabled(false);
    }
    m_refreshButton = new QPushButton(QStringLiteral("Refresh"), this);
    m_totalLabel = new QLabel(this);

    auto* choices = new QHBoxLayout;
    auto* rangeLabel = new QLabel(QStringLiteral("&Range:"), this);
    rangeLabel->setBuddy(m_rangeBox);
    auto* fromLabel = new QLabel(QStringLiteral("&From:"), this);
    fromLabel->setBuddy(m_fromEdit);
    auto* toLabel = new QLabel(QStringLiteral("&To:"), this);
    toLabel->setBuddy(m_toEdit);
    choices->addWidget(rangeLabel);
    choices->addWidget(m_rangeBox);
    choices->addSpacing(fontMetrics().horizontalAdvance(QLatin1Char(' ')) * 2);
    choices->addWidget(fromLabel);
    choices->addWidget(m_fromEdit);
    choices->addWidget(toLabel);
    choices->addWidget(m_toEdit);
    choices->addStretch(1);
    choices->addWidget(m_refreshButton);

    m_applications = new ApplicationTotalsModel(this);
    m_endpoints = new EndpointTotalsModel(this);
    m_applicationsView = makeTable(m_applications, ApplicationTotalsModel::Total, this);
    m_applicationsView->horizontalHeader()->setSectionResizeMode(ApplicationTotalsModel::Name, QHeaderView::Stretch);
    m_endpointsView = makeTable(m_endpoints, EndpointTotalsModel::Total, this);
    QHeaderView* endpointHeader = m_endpointsView->horizontalHeader();
    endpointHeader->setSectionResizeMode(EndpointTotalsModel::Remote, QHeaderView::Interactive);
    endpointHeader->resizeSection(EndpointTotalsModel::Remote, fontMetrics().horizontalAdvance(QLatin1Char('0')) * 20);
    endpointHeader->setSectionResizeMode(EndpointTotalsModel::HostName, QHeaderView::Stretch);
    m_chart = new HistoryChart(this);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(m_applicationsView);
    splitter->addWidget(m_endpointsView);
    splitter->addWidget(m_chart);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    splitter->setStretchFactor(2, 2);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(choices);
    layout->addWidget(m_totalLabel);
    layout->addWidget(splitter, 1);
    resize(760, 620);

    connect(m_rangeBox, &QComboBox::currentIndexChanged, this, &HistoryWindow::rangeChosen);
    connect(m_fromEdit, &QDateEdit::dateChanged, this, &HistoryWindow::fromChanged);
    connect(m_toEdit, &QDateEdit::dateChanged, this, &HistoryWindow::toChanged);
    connect(m_refreshButton, &QPushButton::clicked, this, &HistoryWindow::refresh);
    connect(m_applicationsView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &HistoryWindow::applicationSelected);
    showChosenDates();
}

HistoryWindow::~HistoryWindow() = default;

HistoryRange HistoryWindow::range() const {
    const QDate today = m_today();
    const HistoryDay day = historyDayFromDate(today);
    switch (m_rangeBox->currentIndex()) {
    case Yesterday: return {day - 1, day - 1};
    case Last7Days: return {day - 6, day};
    case ThisMonth: return {historyDayFromDate(QDate(today.year(), today.month(), 1)), day};
    case ChosenRange: return {historyDayFromDate(m_fromEdit->date()), historyDayFromDate(m_toEdit->date())};
    default: return {day, day};
    }
}

void HistoryWindow::showChosenDates() {
    const QSignalBlocker blockFrom(m_fromEdit);
    const QSignalBlocker blockTo(m_toEdit);
    // Beyond today there is nothing counted; the bound also keeps a chosen
    // range to the years the history can hold.
    const QDate today = m_today();
    m_fromEdit->setMaximumDate(std::max(today, kFirstDate));
    m_toEdit->setMaximumDate(std::max(today, kFirstDate));
    const bool chosen = m_rangeBox->currentIndex() == ChosenRange;
    m_fromEdit->setEnabled(chosen);
    m_toEdit->setEnabled(chosen);
    if (chosen) return;
    const HistoryRange shown = range();
    m_fromEdit->setDate(historyDate(shown.first));
    m_toEdit->setDate(historyDate(shown.last));
}

void HistoryWindow::rangeChosen() { refresh(); }

void HistoryWindow::fromChanged(QDate date) {
    if (m_toEdit->date() < date) {
        const QSignalBlocker block(m_toEdit);
        m_toEdit->setDate(date);
    }
    refresh();
}

void HistoryWindow::toChanged(QDate date) {
    if (date < m_fromEdit->date()) {
        const QSignalBlocker block(m_fromEdit);
        m_fromEdit->setDate(date);
    }
    refresh();
}

void HistoryWindow::refresh() {
    showChosenDates();
    m_refreshing = true;
    m_applications->setRows(m_view.applications(range()));
    const std::uint64_t ul = m_applications->ulTotal();
    const std::uint64_t dl = m_applications->dlTotal();
    m_totalLabel->setText(
        QStringLiteral("Total: %1 (UL %2, DL %3)").arg(bytesText(ul + dl), bytesText(ul), bytesText(dl)));
    if (m_selected && !selectApplication(*m_selected)) m_selected.reset();
    m_refreshing = false;
    showSelection();
}

bool HistoryWindow::selectApplication(const std::u16string& name) {
    const int row = m_applications->rowOf(name);
    if (row < 0) return false;
    const QModelIndex index = m_applications->index(row, 0);
    m_applicationsView->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_applicationsView->scrollTo(index);
    return true;
}

void HistoryWindow::applicationSelected() {
    if (m_refreshing) return;
    const QModelIndexList rows = m_applicationsView->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        m_selected.reset();
    } else {
        m_selected = m_applications->at(rows.front().row()).name;
    }
    showSelection();
}

void HistoryWindow::showSelection() {
    const HistoryRange shown = range();
    if (m_selected) {
        m_endpoints->setRows(m_view.endpoints(shown, *m_selected));
        m_chart->setDays(shown, m_view.days(shown, *m_selected), singleLineName(*m_selected));
    } else {
        m_endpoints->setRows({});
        m_chart->setDays(shown, m_view.days(shown), QStringLiteral("All applications"));
    }
}

void HistoryWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) refresh();
}

}  // namespace sondrel

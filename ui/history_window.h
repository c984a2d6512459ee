#pragma once

#include <QDate>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "history/history_view.h"

class QComboBox;
class QDateEdit;
class QLabel;
class QPushButton;
class QTableView;

namespace sondrel {

class ApplicationTotalsModel;
class EndpointTotalsModel;
class HistoryChart;

// The bytes counted over a range of days: the applications, the hosts of the
// selected one, and a bar a day. Not modal; it reads the view afresh when
// shown and on Refresh, keeping the selected application by name.
class HistoryWindow final : public QWidget {
    Q_OBJECT

public:
    // The items of the range box, in its order.
    enum RangeChoice { Today, Yesterday, Last7Days, ThisMonth, ChosenRange };
    using TodaySource = std::function<QDate()>;

    // The view must outlive the window.
    explicit HistoryWindow(const HistoryView& view, TodaySource today = &QDate::currentDate,
                           QWidget* parent = nullptr);
    ~HistoryWindow() override;

    // Reads the range again from the view.
    void refresh();
    HistoryRange range() const;
    std::optional<std::u16string> selectedApplication() const { return m_selected; }
    // Selects the application's row; false when the range has none of that name.
    bool selectApplication(const std::u16string& name);

    QComboBox& rangeBox() { return *m_rangeBox; }
    QDateEdit& fromEdit() { return *m_fromEdit; }
    QDateEdit& toEdit() { return *m_toEdit; }
    QTableView& applicationsView() { return *m_applicationsView; }
    QTableView& endpointsView() { return *m_endpointsView; }
    ApplicationTotalsModel& applicationsModel() { return *m_applications; }
    EndpointTotalsModel& endpointsModel() { return *m_endpoints; }
    HistoryChart& chart() { return *m_chart; }
    QPushButton& refreshButton() { return *m_refreshButton; }
    // "Total: <bytes> (UL <bytes>, DL <bytes>)" of the range.
    QLabel& totalLabel() { return *m_totalLabel; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rangeChosen();
    void fromChanged(QDate date);
    void toChanged(QDate date);
    void showChosenDates();
    void applicationSelected();
    void showSelection();

    const HistoryView& m_view;
    TodaySource m_today;
    std::optional<std::u16string> m_selected;
    bool m_refreshing = false;

    QComboBox* m_rangeBox = nullptr;
    QDateEdit* m_fromEdit = nullptr;
    QDateEdit* m_toEdit = nullptr;
    QPushButton* m_refreshButton = nullptr;
    QLabel* m_totalLabel = nullptr;
    ApplicationTotalsModel* m_applications = nullptr;
    EndpointTotalsModel* m_endpoints = nullptr;
    QTableView* m_applicationsView = nullptr;
    QTableView* m_endpointsView = nullptr;
    HistoryChart* m_chart = nullptr;
};

}  // namespace sondrel

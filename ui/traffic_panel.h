#pragma once

#include <QString>
#include <QWidget>
#include <string>

#include "engine/main_lists.h"

class QLabel;

namespace sondrel {

class TrafficGraph;

// What sits under the two lists: the traffic graph of the selected
// application (of all of them when none is selected) and the status line.
class TrafficPanel final : public QWidget {
public:
    explicit TrafficPanel(QWidget* parent = nullptr);

    // The graph follows the Applications list's selection.
    void showTraffic(const MainLists& lists);
    // The whole text is the status line's tooltip; the line itself is cut to fit.
    void showStatus(const std::u16string& text);

    TrafficGraph* graph() const { return m_graph; }
    QLabel* statusLine() const { return m_status; }
    const QString& statusText() const { return m_statusText; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elideStatus();

    TrafficGraph* m_graph = nullptr;
    QLabel* m_status = nullptr;
    QString m_statusText;
};

}  // namespace sondrel

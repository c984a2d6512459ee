#pragma once

#include <QDialog>
#include <QStringList>
#include <optional>
#include <vector>

#include "config/data_caps.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace sondrel {

// Edits the data caps: one row each, with its period, the application it
// limits (or all of them) and its limit in MB or GB. OK takes the rows only
// when every limit is a number above zero; otherwise the dialog stays open
// and says which row is wrong.
class DataCapsDlg final : public QDialog {
    Q_OBJECT

public:
    enum Column { PeriodColumn, ApplicationColumn, LimitColumn, UnitColumn, ColumnCount };

    // `applications`: names offered in each row's application box, besides
    // "All applications"; any other name can be typed.
    explicit DataCapsDlg(const std::vector<DataCap>& caps, const QStringList& applications = {},
                         QWidget* parent = nullptr);

    // The edited caps, in the rows' order; valid once accepted.
    const std::vector<DataCap>& caps() const { return m_caps; }

    QTableWidget& table() { return *m_table; }
    QComboBox& periodBox(int row) const;
    QComboBox& applicationBox(int row) const;
    QLineEdit& limitEdit(int row) const;
    QComboBox& unitBox(int row) const;
    QPushButton& addButton() { return *m_addButton; }
    QPushButton& removeButton() { return *m_removeButton; }
    QPushButton& okButton() { return *m_okButton; }
    QLabel& messageLabel() { return *m_message; }

    void accept() override;

private:
    void addRow(const DataCap& cap);
    void removeCurrentRow();
    void focusMoved(QWidget* now);
    std::optional<DataCap> capOfRow(int row) const;

    QStringList m_applications;
    std::vector<DataCap> m_caps;
    QTableWidget* m_table = nullptr;
    QPushButton* m_addButton = nullptr;
    QPushButton* m_removeButton = nullptr;
    QPushButton* m_okButton = nullptr;
    QLabel* m_message = nullptr;
};

// The limit typed in a row, in bytes: a plain decimal number above zero
// ("1.5", "1,5" where the locale writes it so) times 2^20 (MB) or 2^30 (GB);
// nothing when it is not one or the bytes would not fit 64 bits.
std::optional<std::uint64_t> parseLimit(const QString& text, bool gigabytes);

}  // namespace sondrel

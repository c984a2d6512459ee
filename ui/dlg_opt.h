#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

#include "base/capture_set.h"
#include "config/adapters.h"

namespace sondrel {

// The Options dialog: daily reports, their folder and the interface to capture on.
// It only collects the choice; the owner applies it after OK.
class CDlgOpt : public QDialog {
    Q_OBJECT
public:
    // Asks the user for a folder; nothing when the user cancels.
    using FolderChooser = std::function<std::optional<QString>(QWidget* parent)>;

    // adapters: the interface list read just before opening (listAdapters()),
    // in its own order. current, what is captured now, picks the starting item:
    // "All interfaces", the list of names (an item of its own), or the
    // interface that carries the address.
    CDlgOpt(bool dailyReports, const std::u16string& reportFolder, CaptureSet current,
            std::vector<AdapterEntry> adapters, QWidget* parent = nullptr);

    void setFolderChooser(FolderChooser chooser);

    // The choice, valid once the dialog was confirmed with OK.
    bool dailyReports() const { return m_dailyReports; }
    const std::u16string& reportFolder() const { return m_reportFolder; }
    // All interfaces, the list shown, or the first IPv4 address of the chosen
    // interface; nothing when no item was chosen or the interface has no IPv4
    // address, and then capture stays as it is.
    const std::optional<CaptureSet>& captureChoice() const { return m_captureChoice; }

    QCheckBox& dailyReportsBox() { return *m_dailyReportsBox; }
    QLineEdit& pathEdit() { return *m_pathEdit; }
    QPushButton& browseButton() { return *m_browseButton; }
    QComboBox& interfaceBox() { return *m_interfaceBox; }
    QPushButton& okButton() { return *m_okButton; }
    QPushButton& cancelButton() { return *m_cancelButton; }
    QGroupBox& generalFrame() { return *m_generalFrame; }
    QGroupBox& interfaceFrame() { return *m_interfaceFrame; }

    // Colour of the two frame captions.
    static QColor captionColour() { return QColor(50, 0, 225); }

    void accept() override;

private:
    void browseForFolder();
    void fillInterfaces();
    std::optional<CaptureSet> choiceAt(int index) const;

    std::vector<AdapterEntry> m_adapters;
    FolderChooser m_chooseFolder;

    bool m_dailyReports;
    std::u16string m_reportFolder;
    CaptureSet m_current;
    std::optional<CaptureSet> m_captureChoice;

    QGroupBox* m_generalFrame;
    QCheckBox* m_dailyReportsBox;
    QLineEdit* m_pathEdit;
    QPushButton* m_browseButton;
    QGroupBox* m_interfaceFrame;
    QComboBox* m_interfaceBox;
    QPushButton* m_okButton;
    QPushButton* m_cancelButton;
};

}  // namespace sondrel

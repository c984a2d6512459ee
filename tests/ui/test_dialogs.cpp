#include <QPalette>
#include <QtTest>

#include "ui/about_dlg.h"
#include "ui/dlg_get_pcap.h"

using sondrel::CAboutDlg;
using sondrel::DlgGetPCAP;

class TestDialogs : public QObject {
    Q_OBJECT
private slots:
    void aboutShowsProductAndFeedbackLink();
    void aboutLinkStartsUnvisitedEachTime();
    void aboutClosesWithOkAndEscape();
    void captureLibraryDialogTexts();
    void captureLibraryLinkOpensDownloadPage();
    void dialogsFitTheirControls();
};

void TestDialogs::aboutShowsProductAndFeedbackLink()
{
    CAboutDlg dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("About Sondrel"));
    QCOMPARE(dialog.productLine().text(), QStringLiteral("Sondrel version 0.1.0"));
    QVERIFY(!dialog.icon().pixmap().isNull());
    QCOMPARE(dialog.feedbackLink().text(), QStringLiteral("Send feedback"));
    QCOMPARE(dialog.feedbackLink().url(), QString::fromLatin1(sondrel::kFeedbackUrl));
    QCOMPARE(dialog.feedbackLink().toolTip(), QString::fromLatin1(sondrel::kFeedbackUrl));
    QVERIFY(dialog.okButton().isDefault());
    QCOMPARE(dialog.okButton().text(), QStringLiteral("OK"));

    const QList<QLabel*> labels = dialog.findChildren<QLabel*>();
    const bool hasPrompt = std::any_of(labels.begin(), labels.end(), [](const QLabel* label) {
        return label->text() == QStringLiteral("To send your feedback, click here:");
    });
    QVERIFY(hasPrompt);
}

void TestDialogs::aboutLinkStartsUnvisitedEachTime()
{
    for (int showing = 0; showing < 2; ++showing) {
        CAboutDlg dialog;
        sondrel::CHyperLink& link = dialog.feedbackLink();
        QVERIFY(!link.isVisited());
        QCOMPARE(link.palette().color(QPalette::WindowText), QColor(0, 0, 238));
        QString opened;
        link.setOpener([&opened](const QString& target, const sondrel::LinkVerdict& verdict) {
            opened = target;
            verdict(std::nullopt);
        });
        link.followLink();
        QCOMPARE(opened, QString::fromLatin1(sondrel::kFeedbackUrl));
        QCOMPARE(link.palette().color(QPalette::WindowText), QColor(85, 26, 139));
    }
}

void TestDialogs::aboutClosesWithOkAndEscape()
{
    {
        CAboutDlg dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(QApplication::focusWidget(), &dialog.okButton());
        QTest::mouseClick(&dialog.okButton(), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());
    }
    {
        CAboutDlg dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
    }
}

void TestDialogs::captureLibraryDialogTexts()
{
    DlgGetPCAP dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("PCAP library is missing"));
    QCOMPARE(dialog.message().text(),
             QStringLiteral("    PCAP library is not installed. Please, install the libpcap package with your package "
                            "manager or download it from www.tcpdump.org:"));
    QCOMPARE(dialog.downloadLink().text(), QStringLiteral("Download libpcap..."));
    QCOMPARE(dialog.downloadLink().url(), QStringLiteral("https://www.tcpdump.org/#latest-releases"));
    QCOMPARE(dialog.downloadLink().toolTip(), QStringLiteral("https://www.tcpdump.org/#latest-releases"));
    QVERIFY(dialog.okButton().isDefault());
    QCOMPARE(dialog.okButton().text(), QStringLiteral("OK"));
    QVERIFY(dialog.parentWidget() == nullptr);
}

void TestDialogs::captureLibraryLinkOpensDownloadPage()
{
    DlgGetPCAP dialog;
    QString opened;
    dialog.downloadLink().setOpener([&opened](const QString& target, const sondrel::LinkVerdict& verdict) {
        opened = target;
        verdict(std::nullopt);
    });
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(&dialog.downloadLink(), Qt::LeftButton);
    QCOMPARE(opened, QStringLiteral("https://www.tcpdump.org/#latest-releases"));
    QVERIFY(dialog.downloadLink().isVisited());
    QTest::mouseClick(&dialog.okButton(), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

// Every control lies inside its dialog and no two texts overlap, whatever the font's size.
void TestDialogs::dialogsFitTheirControls()
{
    for (const int pointSize : {8, 10, 14}) {
        QFont font = QApplication::font();
        font.setPointSize(pointSize);
        QApplication::setFont(font);
        CAboutDlg about;
        DlgGetPCAP pcap;
        for (QDialog* dialog : {static_cast<QDialog*>(&about), static_cast<QDialog*>(&pcap)}) {
            const QRect area = dialog->rect();
            const QList<QWidget*> controls = dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
            for (const QWidget* control : controls) {
                QVERIFY2(area.contains(control->geometry()), qPrintable(control->metaObject()->className()));
            }
            const QList<QLabel*> labels = dialog->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
            for (const QLabel* label : labels) {
                if (label->wordWrap()) {
                    QVERIFY2(label->heightForWidth(label->width()) <= label->height(), qPrintable(label->text()));
                } else if (!label->text().isEmpty()) {
                    QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(),
                             qPrintable(label->text()));
                }
                for (const QLabel* other : labels) {
                    if (other != label) {
                        QVERIFY2(!label->geometry().intersects(other->geometry()), qPrintable(label->text()));
                    }
                }
            }
        }
    }
}

QTEST_MAIN(TestDialogs)
#include "test_dialogs.moc"

#include <arpa/inet.h>

#include <QGroupBox>
#include <QLabel>
#include <QtTest>

#include "ui/dlg_opt.h"

using sondrel::AdapterEntry;
using sondrel::CaptureSet;
using sondrel::CDlgOpt;

using Adapters = std::vector<AdapterEntry>;
using Choice = std::optional<CaptureSet>;
Q_DECLARE_METATYPE(Adapters)
Q_DECLARE_METATYPE(CaptureSet)
Q_DECLARE_METATYPE(Choice)

namespace {

std::uint32_t address(const char* dotted)
{
    return ::inet_addr(dotted);
}

// In interface-index order, as the adapter list gives them; "eth0" is not first alphabetically.
Adapters machine()
{
    return {{u"lo", "127.0.0.1"}, {u"wlan0", "192.168.1.20"}, {u"eth0", "10.0.0.5"}, {u"docker0", "172.17.0.1"},
            {u"tun0", "0.0.0.0"}};
}

CaptureSet at(const char* dotted)
{
    return CaptureSet::ofAddress(address(dotted));
}

CaptureSet named(std::vector<std::string> names)
{
    return {CaptureSet::Kind::Names, 0, std::move(names)};
}

QString describe(const Choice& choice)
{
    if (!choice) {
        return QStringLiteral("nothing");
    }
    if (!choice->followsInterfaces()) {
        return QStringLiteral("address %1").arg(choice->address, 8, 16, QLatin1Char('0'));
    }
    return QString::fromStdString(sondrel::interfaceListText(*choice));
}

QStringList items(QComboBox& box)
{
    QStringList texts;
    for (int i = 0; i < box.count(); ++i) {
        texts << box.itemText(i);
    }
    return texts;
}

}  // namespace

class TestDlgOpt : public QObject {
    Q_OBJECT
private slots:
    void controlsAndTexts();
    void captionsInTheirColour();
    void itemsAreSorted();
    void okTakesTheChoice_data();
    void okTakesTheChoice();
    void okTakesFlagAndPathAsTyped();
    void browsingKeepsTheCheckBox();
    void cancelledBrowsingChangesNothing();
    void cancelLeavesTheChoiceUnread();
};

void TestDlgOpt::controlsAndTexts()
{
    CDlgOpt dialog(true, u"/srv/reports", at("10.0.0.5"), machine());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Options"));
    QCOMPARE(dialog.generalFrame().title(), QStringLiteral("General settings"));
    QCOMPARE(dialog.interfaceFrame().title(), QStringLiteral("Network interface to snoop: "));
    QCOMPARE(dialog.dailyReportsBox().text(), QStringLiteral("Save daily reports (at 00:00)"));
    QVERIFY(dialog.dailyReportsBox().isChecked());
    QCOMPARE(dialog.pathEdit().text(), QStringLiteral("/srv/reports"));
    QCOMPARE(dialog.browseButton().text(), QStringLiteral("..."));
    QCOMPARE(dialog.okButton().text(), QStringLiteral("OK"));
    QVERIFY(dialog.okButton().isDefault());
    QCOMPARE(dialog.cancelButton().text(), QStringLiteral("Cancel"));
    QVERIFY(dialog.interfaceBox().isEditable());

    QStringList labels;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        labels << label->text();
    }
    QVERIFY(labels.contains(QStringLiteral("Also reset data after saving")));
    QVERIFY(labels.contains(QStringLiteral("Path for the reports:")));

    CDlgOpt off(false, u"", at("0.0.0.0"), {});
    QVERIFY(!off.dailyReportsBox().isChecked());
    QCOMPARE(off.pathEdit().text(), QString());
}

void TestDlgOpt::captionsInTheirColour()
{
    CDlgOpt dialog(true, u"/srv/reports", at("10.0.0.5"), machine());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QColor caption(50, 0, 225);
    QCOMPARE(dialog.generalFrame().palette().color(QPalette::WindowText), caption);
    QCOMPARE(dialog.interfaceFrame().palette().color(QPalette::WindowText), caption);
    // Only the captions: the texts inside the frames keep the dialog's colours.
    QVERIFY(dialog.dailyReportsBox().palette().color(QPalette::WindowText) != caption);

    // The style really paints the captions in that colour; the glyph edges are
    // smoothed against the background, so count the pixels of that hue.
    for (QGroupBox* frame : {&dialog.generalFrame(), &dialog.interfaceFrame()}) {
        const QImage image = frame->grab().toImage();
        int painted = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel(image.pixel(x, y));
                painted += pixel.blue() - pixel.red() > 80 && pixel.blue() - pixel.green() > 100 ? 1 : 0;
            }
        }
        QVERIFY2(painted > 20, qPrintable(frame->title()));
    }
}

void TestDlgOpt::itemsAreSorted()
{
    CDlgOpt dialog(true, u"", at("0.0.0.0"), machine());
    QCOMPARE(items(dialog.interfaceBox()),
             (QStringList{"All interfaces", "docker0", "eth0", "lo", "tun0", "wlan0"}));

    CDlgOpt mixedCase(true, u"", at("0.0.0.0"),
                      {{u"b", "1.1.1.1"}, {u"B2", "1.1.1.2"}, {u"a", "1.1.1.3"}, {u"A", "1.1.1.4"}});
    QCOMPARE(items(mixedCase.interfaceBox()), (QStringList{"All interfaces", "A", "a", "b", "B2"}));
}

void TestDlgOpt::okTakesTheChoice_data()
{
    QTest::addColumn<Adapters>("adapters");
    QTest::addColumn<CaptureSet>("current");
    QTest::addColumn<QStringList>("leadingItems");  // those before the interfaces
    QTest::addColumn<QString>("startItem");
    QTest::addColumn<QString>("picked");  // empty: OK at once
    QTest::addColumn<Choice>("chosen");

    const QStringList all{"All interfaces"};
    QTest::newRow("configured interface kept although not first")
        << machine() << at("10.0.0.5") << all << "eth0" << "" << Choice(at("10.0.0.5"));
    QTest::newRow("configured last in sort order")
        << machine() << at("192.168.1.20") << all << "wlan0" << "" << Choice(at("192.168.1.20"));
    QTest::newRow("unknown address takes the alphabetically first interface")
        << machine() << at("10.9.9.9") << all << "docker0" << "" << Choice(at("172.17.0.1"));
    QTest::newRow("address 0 finds the interface without IPv4, which chooses nothing")
        << machine() << at("0.0.0.0") << all << "tun0" << "" << Choice();
    QTest::newRow("two interfaces with one address: the earlier in the list")
        << Adapters{{u"veth1", "10.1.1.1"}, {u"br0", "10.2.2.2"}, {u"br1", "10.2.2.2"}} << at("10.2.2.2") << all
        << "br0" << "" << Choice(at("10.2.2.2"));
    QTest::newRow("two adapters with one description: the earlier one's address")
        << Adapters{{u"eth0", "10.0.0.5"}, {u"eth0", "10.0.0.6"}, {u"lo", "127.0.0.1"}} << at("10.0.0.6") << all
        << "eth0" << "" << Choice(at("10.0.0.5"));
    QTest::newRow("no adapters: no new address") << Adapters{} << at("10.0.0.5") << all << "" << "" << Choice();
    QTest::newRow("another interface")
        << machine() << at("10.0.0.5") << all << "eth0" << "wlan0" << Choice(at("192.168.1.20"));
    QTest::newRow("all interfaces picked") << machine() << at("10.0.0.5") << all << "eth0" << "All interfaces"
                                           << Choice(CaptureSet::all());
    QTest::newRow("all interfaces kept")
        << machine() << CaptureSet::all() << all << "All interfaces" << "" << Choice(CaptureSet::all());
    QTest::newRow("all interfaces without adapters")
        << Adapters{} << CaptureSet::all() << all << "All interfaces" << "" << Choice(CaptureSet::all());
    QTest::newRow("a list kept") << machine() << named({"eth0", "wg0"}) << QStringList{"All interfaces", "eth0, wg0"}
                                 << "eth0, wg0" << "" << Choice(named({"eth0", "wg0"}));
    QTest::newRow("a list of one name is not that interface's address")
        << machine() << named({"eth0"}) << QStringList{"All interfaces", "eth0"} << "eth0" << ""
        << Choice(named({"eth0"}));
    QTest::newRow("from a list to an interface")
        << machine() << named({"eth0", "wg0"}) << QStringList{"All interfaces", "eth0, wg0"} << "eth0, wg0" << "lo"
        << Choice(at("127.0.0.1"));
}

void TestDlgOpt::okTakesTheChoice()
{
    QFETCH(Adapters, adapters);
    QFETCH(CaptureSet, current);
    QFETCH(QStringList, leadingItems);
    QFETCH(QString, startItem);
    QFETCH(QString, picked);
    QFETCH(Choice, chosen);

    CDlgOpt dialog(true, u"/srv/reports", current, adapters);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QComboBox& box = dialog.interfaceBox();
    QCOMPARE(items(box).mid(0, box.count() - int(adapters.size())), leadingItems);
    QCOMPARE(box.currentText(), startItem);
    if (!picked.isEmpty()) {
        // The last item of that text is the interface, where a one-name list reads the same.
        box.setCurrentIndex(int(items(box).lastIndexOf(picked)));
    }
    QTest::keyClick(&dialog, Qt::Key_Return);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(describe(dialog.captureChoice()), describe(chosen));
    QVERIFY(dialog.dailyReports());
    QCOMPARE(dialog.reportFolder(), std::u16string(u"/srv/reports"));
}

void TestDlgOpt::okTakesFlagAndPathAsTyped()
{
    CDlgOpt dialog(true, u"/srv/reports", at("10.0.0.5"), machine());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(&dialog.dailyReportsBox(), Qt::LeftButton);
    dialog.pathEdit().clear();
    QTest::keyClicks(&dialog.pathEdit(), QStringLiteral("/no/such folder/"));
    dialog.pathEdit().insert(QStringLiteral("Отчёты"));
    QTest::mouseClick(&dialog.okButton(), Qt::LeftButton);
    QVERIFY(!dialog.dailyReports());
    QCOMPARE(dialog.reportFolder(), std::u16string(u"/no/such folder/Отчёты"));
}

void TestDlgOpt::browsingKeepsTheCheckBox()
{
    CDlgOpt dialog(true, u"/srv/reports", at("10.0.0.5"), machine());
    QWidget* askedBy = nullptr;
    dialog.setFolderChooser([&askedBy](QWidget* parent) {
        askedBy = parent;
        return std::optional<QString>(QStringLiteral("/home/ann/daily"));
    });
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(&dialog.dailyReportsBox(), Qt::LeftButton);
    QTest::mouseClick(&dialog.browseButton(), Qt::LeftButton);
    QCOMPARE(askedBy, &dialog);
    QCOMPARE(dialog.pathEdit().text(), QStringLiteral("/home/ann/daily"));
    QVERIFY(!dialog.dailyReportsBox().isChecked());
    QVERIFY(dialog.isVisible());
    QTest::mouseClick(&dialog.okButton(), Qt::LeftButton);
    QCOMPARE(dialog.reportFolder(), std::u16string(u"/home/ann/daily"));
    QVERIFY(!dialog.dailyReports());
}

void TestDlgOpt::cancelledBrowsingChangesNothing()
{
    CDlgOpt dialog(false, u"/srv/reports", at("10.0.0.5"), machine());
    dialog.setFolderChooser([](QWidget*) { return std::optional<QString>(); });
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(&dialog.browseButton(), Qt::LeftButton);
    QCOMPARE(dialog.pathEdit().text(), QStringLiteral("/srv/reports"));
    QVERIFY(!dialog.dailyReportsBox().isChecked());
}

void TestDlgOpt::cancelLeavesTheChoiceUnread()
{
    CDlgOpt dialog(true, u"/srv/reports", at("10.0.0.5"), machine());
    dialog.setFolderChooser([](QWidget*) { return std::optional<QString>(QStringLiteral("/tmp/elsewhere")); });
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(&dialog.browseButton(), Qt::LeftButton);
    QTest::mouseClick(&dialog.dailyReportsBox(), Qt::LeftButton);
    dialog.interfaceBox().setCurrentIndex(0);
    QTest::mouseClick(&dialog.cancelButton(), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    // The owner reads nothing after Cancel; the dialog still holds what it was given.
    QVERIFY(dialog.dailyReports());
    QCOMPARE(dialog.reportFolder(), std::u16string(u"/srv/reports"));
    QCOMPARE(describe(dialog.captureChoice()), describe(Choice()));

    CDlgOpt escaped(true, u"/srv/reports", at("10.0.0.5"), machine());
    escaped.show();
    QVERIFY(QTest::qWaitForWindowExposed(&escaped));
    QTest::keyClick(&escaped, Qt::Key_Escape);
    QCOMPARE(escaped.result(), int(QDialog::Rejected));
}

QTEST_MAIN(TestDlgOpt)
#include "test_dlg_opt.moc"

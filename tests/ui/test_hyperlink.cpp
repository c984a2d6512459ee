#include <unistd.h>

#include <QFile>
#include <QMessageBox>
#include <QTimer>
#include <QFontMetrics>
#include <QPalette>
#include <QTemporaryDir>
#include <QtTest>

#include "modal_watcher.h"
#include "ui/hyperlink.h"
#include "ui/hyperlink_error.h"
#include "ui/link_opener.h"

using sondrel::CHyperLink;

Q_DECLARE_METATYPE(std::optional<int>)

namespace {

const QColor kLink(0, 0, 238);
const QColor kVisited(85, 26, 139);

QColor shownColour(const CHyperLink& link)
{
    return link.palette().color(QPalette::WindowText);
}

void enter(CHyperLink& link)
{
    QEnterEvent event(QPointF(1, 1), QPointF(1, 1), link.mapToGlobal(QPointF(1, 1)));
    QApplication::sendEvent(&link, &event);
}

void leave(CHyperLink& link)
{
    QEvent event(QEvent::Leave);
    QApplication::sendEvent(&link, &event);
}

}  // namespace

class TestHyperLink : public QObject {
    Q_OBJECT
private slots:
    void fitRectToText_data();
    void fitRectToText();
    void boundLinkFitsItsText_data();
    void boundLinkFitsItsText();
    void bindTakesTextAsTarget();
    void bindShowsTargetWhenTextIsEmpty();
    void looksLikeALink();
    void colours();
    void clickOpensTargetThroughOpener();
    void errorTexts_data();
    void errorTexts();
    void xdgOpenStatus_data();
    void xdgOpenStatus();
    void localTargets();
    void slowDesktopOpenerKeepsTheGuiTicking_data();
    void slowDesktopOpenerKeepsTheGuiTicking();
};

void TestHyperLink::fitRectToText_data()
{
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QSize>("text");
    QTest::addColumn<int>("alignment");
    QTest::addColumn<QRect>("expected");

    const int left = Qt::AlignLeft | Qt::AlignTop;
    QTest::newRow("left shrinks, keeps left and top") << QRect(10, 20, 100, 30) << QSize(40, 12) << left
                                                       << QRect(10, 20, 40, 12);
    QTest::newRow("left grows") << QRect(10, 20, 30, 8) << QSize(70, 14) << left << QRect(10, 20, 70, 14);
    QTest::newRow("right keeps right edge") << QRect(10, 20, 100, 30) << QSize(40, 12)
                                            << int(Qt::AlignRight | Qt::AlignTop) << QRect(70, 20, 40, 12);
    QTest::newRow("right grows leftwards") << QRect(50, 0, 20, 10) << QSize(45, 10)
                                           << int(Qt::AlignRight | Qt::AlignTop) << QRect(25, 0, 45, 10);
    QTest::newRow("centre, even difference") << QRect(10, 20, 100, 30) << QSize(40, 12)
                                             << int(Qt::AlignHCenter | Qt::AlignTop) << QRect(40, 20, 40, 12);
    QTest::newRow("centre, odd difference leaves one pixel") << QRect(10, 20, 101, 30) << QSize(40, 12)
                                                             << int(Qt::AlignHCenter | Qt::AlignTop)
                                                             << QRect(40, 20, 41, 12);
    QTest::newRow("centre, text wider by an odd amount") << QRect(10, 20, 40, 30) << QSize(45, 12)
                                                         << int(Qt::AlignHCenter | Qt::AlignTop)
                                                         << QRect(8, 20, 44, 12);
    QTest::newRow("vertical centre, even difference") << QRect(10, 20, 100, 30) << QSize(40, 12)
                                                      << int(Qt::AlignLeft | Qt::AlignVCenter)
                                                      << QRect(10, 29, 40, 12);
    QTest::newRow("vertical centre, odd difference") << QRect(10, 20, 100, 31) << QSize(40, 12)
                                                     << int(Qt::AlignLeft | Qt::AlignVCenter)
                                                     << QRect(10, 29, 40, 13);
    QTest::newRow("vertical centre, text taller by an odd amount") << QRect(10, 20, 100, 8) << QSize(40, 13)
                                                                   << int(Qt::AlignLeft | Qt::AlignVCenter)
                                                                   << QRect(10, 18, 40, 12);
    QTest::newRow("both centred") << QRect(0, 0, 100, 40) << QSize(50, 20) << int(Qt::AlignCenter)
                                  << QRect(25, 10, 50, 20);
    QTest::newRow("exact fit stays") << QRect(5, 5, 40, 12) << QSize(40, 12) << int(Qt::AlignCenter)
                                     << QRect(5, 5, 40, 12);
}

void TestHyperLink::fitRectToText()
{
    QFETCH(QRect, rect);
    QFETCH(QSize, text);
    QFETCH(int, alignment);
    QFETCH(QRect, expected);
    QCOMPARE(sondrel::fitRectToText(rect, text, Qt::Alignment(alignment)), expected);
}

void TestHyperLink::boundLinkFitsItsText_data()
{
    QTest::addColumn<int>("alignment");
    QTest::newRow("left") << int(Qt::AlignLeft | Qt::AlignTop);
    QTest::newRow("centre") << int(Qt::AlignHCenter | Qt::AlignTop);
    QTest::newRow("right") << int(Qt::AlignRight | Qt::AlignTop);
    QTest::newRow("vertically centred") << int(Qt::AlignLeft | Qt::AlignVCenter);
}

void TestHyperLink::boundLinkFitsItsText()
{
    QFETCH(int, alignment);
    QWidget dialog;
    auto* link = new CHyperLink(&dialog);
    link->setText(QStringLiteral("Send feedback"));
    link->setAlignment(Qt::Alignment(alignment));
    const QRect placed(40, 30, 300, 60);
    link->setGeometry(placed);
    link->bind();

    const QFontMetrics metrics(link->font());
    const QSize text(metrics.horizontalAdvance(link->text()), metrics.height());
    const QRect fitted = link->geometry();
    // Clicks beside the text must not reach the link: the width is the text's (centring
    // an odd difference leaves one pixel over).
    if (alignment & Qt::AlignHCenter) {
        QVERIFY(qAbs(fitted.width() - text.width()) <= 1);
    } else {
        QCOMPARE(fitted.width(), text.width());
    }
    QVERIFY(qAbs(fitted.height() - text.height()) <= 1);
    if (alignment & Qt::AlignHCenter) {
        QVERIFY(qAbs((fitted.left() + fitted.width() / 2) - (placed.left() + placed.width() / 2)) <= 1);
    } else if (alignment & Qt::AlignRight) {
        QCOMPARE(fitted.left() + fitted.width(), placed.left() + placed.width());
    } else {
        QCOMPARE(fitted.left(), placed.left());
    }
    if (alignment & Qt::AlignVCenter) {
        QVERIFY(qAbs((fitted.top() + fitted.height() / 2) - (placed.top() + placed.height() / 2)) <= 1);
    } else {
        QCOMPARE(fitted.top(), placed.top());
    }
}

void TestHyperLink::bindTakesTextAsTarget()
{
    QWidget dialog;
    auto* link = new CHyperLink(&dialog);
    link->setText(QStringLiteral("Send feedback"));
    link->setGeometry(10, 10, 200, 40);
    link->bind();
    QCOMPARE(link->url(), QStringLiteral("Send feedback"));
    QCOMPARE(link->toolTip(), QStringLiteral("Send feedback"));
    const QRect fitted = link->geometry();

    link->SetLinkTarget(QStringLiteral("https://example.org/contact"));
    QCOMPARE(link->url(), QStringLiteral("https://example.org/contact"));
    QCOMPARE(link->toolTip(), QStringLiteral("https://example.org/contact"));
    QCOMPARE(link->text(), QStringLiteral("Send feedback"));
    QCOMPARE(link->geometry(), fitted);
}

void TestHyperLink::bindShowsTargetWhenTextIsEmpty()
{
    QWidget dialog;
    auto* link = new CHyperLink(&dialog);
    link->setGeometry(10, 10, 20, 10);
    link->SetLinkTarget(QStringLiteral("https://example.org/"));
    QVERIFY(!link->isBound());
    QCOMPARE(link->toolTip(), QString());
    link->bind();
    QCOMPARE(link->text(), QStringLiteral("https://example.org/"));
    QCOMPARE(link->toolTip(), QStringLiteral("https://example.org/"));
    QCOMPARE(link->width(), QFontMetrics(link->font()).horizontalAdvance(QStringLiteral("https://example.org/")));
}

void TestHyperLink::looksLikeALink()
{
    QWidget dialog;
    auto* link = new CHyperLink(&dialog);
    link->setText(QStringLiteral("Download"));
    QVERIFY(!link->font().underline());
    link->bind();
    QVERIFY(link->font().underline());
    QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(shownColour(*link), kLink);
}

void TestHyperLink::colours()
{
    QWidget dialog;
    auto* link = new CHyperLink(&dialog);
    link->setText(QStringLiteral("Send feedback"));
    link->bind();
    const QColor hover = QApplication::palette().color(QPalette::Active, QPalette::Highlight);
    QCOMPARE(link->hoverColour(), hover);
    QVERIFY(hover != kLink && hover != kVisited);

    bool opens = true;
    link->setOpener([&opens](const QString&, const sondrel::LinkVerdict& verdict) {
        verdict(opens ? std::nullopt : std::optional<int>(31));
    });

    QCOMPARE(shownColour(*link), kLink);
    enter(*link);
    QVERIFY(link->isOver());
    QCOMPARE(shownColour(*link), hover);
    leave(*link);
    QVERIFY(!link->isOver());
    QCOMPARE(shownColour(*link), kLink);

    link->followLink();
    QVERIFY(link->isVisited());
    QCOMPARE(shownColour(*link), kVisited);
    enter(*link);
    QCOMPARE(shownColour(*link), hover);
    leave(*link);
    QCOMPARE(shownColour(*link), kVisited);

    opens = false;
    ModalWatcher watcher;
    link->followLink();
    QVERIFY(watcher.seen().shown);
    QVERIFY(!link->isVisited());
    QCOMPARE(shownColour(*link), kLink);
}

void TestHyperLink::clickOpensTargetThroughOpener()
{
    QWidget dialog;
    auto* link = new CHyperLink(&dialog);
    link->setText(QStringLiteral("Download libpcap..."));
    link->setGeometry(0, 0, 200, 30);
    link->bind();
    link->SetLinkTarget(QStringLiteral("https://example.org/get"));
    QStringList opened;
    link->setOpener([&opened](const QString& target, const sondrel::LinkVerdict& verdict) {
        opened << target;
        verdict(std::nullopt);
    });
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    QTest::mouseClick(link, Qt::RightButton);
    QVERIFY(opened.isEmpty());
    QTest::mouseClick(link, Qt::LeftButton);
    QCOMPARE(opened, QStringList{QStringLiteral("https://example.org/get")});
    QVERIFY(link->isVisited());
}

void TestHyperLink::errorTexts_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reason");

    QTest::newRow("0 out of memory") << 0 << "The operating system is out\nof memory or resources.";
    QTest::newRow("2 file not found") << 2 << "The specified file was not found.";
    QTest::newRow("3 path not found") << 3 << "The specified path was not found.";
    QTest::newRow("5 access denied") << 5 << "The operating system denied\naccess to the specified file.";
    QTest::newRow("8 no memory") << 8 << "There was not enough memory to complete the operation.";
    QTest::newRow("11 bad executable") << 11 << "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
    QTest::newRow("26 sharing violation, trailing blank") << 26 << "A sharing violation occurred. ";
    QTest::newRow("27 association incomplete") << 27 << "The filename association is\nincomplete or invalid.";
    QTest::newRow("28 DDE timeout") << 28
                                    << "The DDE transaction could not\nbe completed because the request timed out.";
    QTest::newRow("29 DDE failed") << 29 << "The DDE transaction failed.";
    QTest::newRow("30 DDE busy") << 30
                                 << "The DDE transaction could not\nbe completed because other DDE transactions\n"
                                    "were being processed.";
    QTest::newRow("31 no association") << 31
                                       << "There is no application associated\nwith the given filename extension.";
    QTest::newRow("32 library missing") << 32 << "The specified dynamic-link library was not found.";
    QTest::newRow("4 unknown") << 4 << "Unknown Error (4) occurred.";
    QTest::newRow("1 unknown") << 1 << "Unknown Error (1) occurred.";
    QTest::newRow("33 unknown") << 33 << "Unknown Error (33) occurred.";
    QTest::newRow("negative unknown") << -7 << "Unknown Error (-7) occurred.";
}

void TestHyperLink::errorTexts()
{
    QFETCH(int, code);
    QFETCH(QString, reason);

    QWidget dialog;
    auto* link = new CHyperLink(&dialog);
    link->setText(QStringLiteral("Send feedback"));
    link->bind();
    link->setOpener([code](const QString&, const sondrel::LinkVerdict& verdict) { verdict(code); });

    ModalWatcher watcher;
    link->followLink();
    QVERIFY(watcher.seen().shown);
    QCOMPARE(watcher.seen().text, QStringLiteral("Unable to open hyperlink:\n\n") + reason);
    QCOMPARE(watcher.seen().icon, QMessageBox::Warning);
    // The caption is the program's name: the executable's file name without extension.
    QCOMPARE(watcher.seen().caption, QStringLiteral("test_hyperlink"));
    QVERIFY(!link->isVisited());
}

void TestHyperLink::xdgOpenStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<std::optional<int>>("reason");
    QTest::newRow("0 opened") << 0 << std::optional<int>();
    QTest::newRow("1 syntax error") << 1 << std::optional<int>(1);
    QTest::newRow("2 file missing") << 2 << std::optional<int>(2);
    QTest::newRow("3 no handler") << 3 << std::optional<int>(31);
    QTest::newRow("4 action failed") << 4 << std::optional<int>(4);
    QTest::newRow("5 would read as access denied") << 5 << std::optional<int>(4);
    QTest::newRow("6 undocumented") << 6 << std::optional<int>(6);
    QTest::newRow("31 would read as no handler") << 31 << std::optional<int>(4);
}

void TestHyperLink::xdgOpenStatus()
{
    QFETCH(int, status);
    QFETCH(std::optional<int>, reason);
    QCOMPARE(sondrel::reasonForXdgOpenStatus(status), reason);
}

void TestHyperLink::localTargets()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString present = dir.filePath(QStringLiteral("report.html"));
    {
        QFile file(present);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<html></html>");
    }
    const QString missing = dir.filePath(QStringLiteral("gone.html"));

    QCOMPARE(sondrel::localTargetProblem(present), std::optional<int>());
    QCOMPARE(sondrel::localTargetProblem(missing), std::optional<int>(2));
    QCOMPARE(sondrel::localTargetProblem(QUrl::fromLocalFile(missing).toString()), std::optional<int>(2));
    QCOMPARE(sondrel::localTargetProblem(QStringLiteral("https://www.tcpdump.org/")), std::optional<int>());
    QCOMPARE(sondrel::localTargetProblem(QStringLiteral("mailto:someone@example.org")), std::optional<int>());
    QCOMPARE(sondrel::localTargetProblem(QString()), std::optional<int>());

    // The missing file is reported before any desktop program is asked.
    std::optional<std::optional<int>> verdict;
    sondrel::openWithDesktop(missing, [&verdict](std::optional<int> failure) { verdict = failure; });
    QCOMPARE(verdict, std::optional<std::optional<int>>(2));

    if (::geteuid() != 0) {
        QVERIFY(QFile::setPermissions(present, QFileDevice::WriteOwner));
        QCOMPARE(sondrel::localTargetProblem(present), std::optional<int>(5));
    }
}

void TestHyperLink::slowDesktopOpenerKeepsTheGuiTicking_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");  // empty: opened, no box
    QTest::newRow("no handler, after a second") << 3 << sondrel::openErrorMessage(31);
    QTest::newRow("opened, after a second") << 0 << QString();
}

// xdg-open stands in here for a handler that keeps the desktop waiting: a
// script first on PATH that sleeps, then exits with a status. The click
// returns at once, the GUI thread goes on ticking, and the verdict shows when
// the script ends.
void TestHyperLink::slowDesktopOpenerKeepsTheGuiTicking()
{
    QFETCH(int, status);
    QFETCH(QString, message);
    QTemporaryDir bin;
    QVERIFY(bin.isValid());
    QFile script(bin.filePath(QStringLiteral("xdg-open")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QByteArray("#!/bin/sh\nsleep 1\nexit ") + QByteArray::number(status) + "\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()) + ":" + path);

    QWidget dialog;
    auto* link = new CHyperLink(&dialog);
    link->setText(QStringLiteral("Send feedback"));
    link->bind();
    link->SetLinkTarget(QStringLiteral("https://example.org/contact"));

    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(10);
    int ticksAtVerdict = -1;
    QString shown;
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            ticksAtVerdict = ticks;
            box->done(QMessageBox::Ok);
        } else if (link->isVisited() && ticksAtVerdict < 0) {
            ticksAtVerdict = ticks;
        }
    });
    watcher.start(5);

    link->followLink();
    const bool answeredAtOnce = ticksAtVerdict >= 0 || link->isVisited();
    QTRY_VERIFY_WITH_TIMEOUT(ticksAtVerdict >= 0, 20000);
    qputenv("PATH", path);
    QVERIFY2(!answeredAtOnce, "the click waited for the desktop");
    QVERIFY2(ticksAtVerdict >= 5, qPrintable(QStringLiteral("%1 ticks while the opener ran").arg(ticksAtVerdict)));
    QCOMPARE(shown, message);
    QCOMPARE(link->isVisited(), message.isEmpty());
}

QTEST_MAIN(TestHyperLink)
#include "test_hyperlink.moc"

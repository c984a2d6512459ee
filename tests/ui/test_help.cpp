#include <cstdint>
#include <vector>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include "ui/chm_file.h"
#include "ui/help.h"
#include "ui/help_window.h"
#include "modal_watcher.h"

using Bytes = std::vector<std::uint8_t>;
Q_DECLARE_METATYPE(Bytes)

namespace {

Bytes record(std::uint16_t code, const std::string& data)
{
    Bytes bytes{static_cast<std::uint8_t>(code & 0xFF), static_cast<std::uint8_t>(code >> 8),
                static_cast<std::uint8_t>(data.size() & 0xFF), static_cast<std::uint8_t>(data.size() >> 8)};
    for (const char c : data) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    return bytes;
}

Bytes systemObject(std::initializer_list<Bytes> records)
{
    Bytes bytes{3, 0, 0, 0};
    for (const Bytes& r : records) {
        bytes.insert(bytes.end(), r.begin(), r.end());
    }
    return bytes;
}

}  // namespace

class TestHelp : public QObject {
    Q_OBJECT
private slots:
    void helpPath_data();
    void helpPath();
    void defaultTopic_data();
    void defaultTopic();
    void missingOrForeignFileShowsNothing();
    void helpTopicsSaysWhyTheFileCannotBeShown_data();
    void helpTopicsSaysWhyTheFileCannotBeShown();
    void builtHelpOpensOnItsDefaultPage();
    void builtHelpFollowsLinksInsideTheFile();
};

void TestHelp::helpPath_data()
{
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("help");
    QTest::newRow("installed binary") << "/usr/bin/sondrel" << "/usr/bin/Sondrelix.chm";
    QTest::newRow("renamed binary") << "/opt/tools/netwatch" << "/opt/tools/Sondrelix.chm";
    QTest::newRow("name with extension") << "/home/ann/My Apps/sondrel.bin" << "/home/ann/My Apps/Sondrelix.chm";
    QTest::newRow("build tree") << "/work/build/app/sondrel" << "/work/build/app/Sondrelix.chm";
    QTest::newRow("slash only at the start stays") << "/sondrel" << "/sondrel";
    QTest::newRow("no slash stays") << "sondrel" << "sondrel";
    QTest::newRow("empty stays") << "" << "";
    QTest::newRow("trailing slash") << "/a/b/" << "/a/b/Sondrelix.chm";
}

void TestHelp::helpPath()
{
    QFETCH(QString, executable);
    QFETCH(QString, help);
    QCOMPARE(sondrel::helpFilePath(executable), help);
}

void TestHelp::defaultTopic_data()
{
    QTest::addColumn<Bytes>("system");
    QTest::addColumn<QString>("topic");
    QTest::newRow("topic after other records")
        << systemObject({record(10, "abcd"), record(9, std::string("HHA\0", 4)), record(2, std::string("index.html\0", 11))})
        << "index.html";
    QTest::newRow("first topic record wins")
        << systemObject({record(2, std::string("a.htm\0", 6)), record(2, std::string("b.htm\0", 6))}) << "a.htm";
    QTest::newRow("topic without terminator") << systemObject({record(2, "start.html")}) << "start.html";
    QTest::newRow("no topic record") << systemObject({record(3, std::string("Title\0", 6))}) << "";
    QTest::newRow("record longer than the data") << Bytes{3, 0, 0, 0, 2, 0, 50, 0, 'a', 'b'} << "";
    QTest::newRow("header cut short") << Bytes{3, 0, 0} << "";
    QTest::newRow("record header cut short") << Bytes{3, 0, 0, 0, 2, 0, 5} << "";
    QTest::newRow("empty") << Bytes{} << "";
}

void TestHelp::defaultTopic()
{
    QFETCH(Bytes, system);
    QFETCH(QString, topic);
    QCOMPARE(QString::fromStdString(sondrel::chmDefaultTopic(system)), topic);
}

void TestHelp::missingOrForeignFileShowsNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QCOMPARE(sondrel::openHelpFile(dir.filePath(QStringLiteral("Sondrelix.chm")), nullptr), nullptr);

    const QString foreign = dir.filePath(QStringLiteral("foreign.chm"));
    QFile file(foreign);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(4096, 'x'));
    file.close();
    QCOMPARE(sondrel::openHelpFile(foreign, nullptr), nullptr);
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void TestHelp::helpTopicsSaysWhyTheFileCannotBeShown_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "missing" << "was not found.";
    QTest::newRow("a folder in its place") << "folder" << "cannot be read.";
    QTest::newRow("not a help file") << "foreign" << "is damaged or is not a help file.";
    QTest::newRow("beside this program") << "beside" << "was not found.";
}

void TestHelp::helpTopicsSaysWhyTheFileCannotBeShown()
{
    QFETCH(QString, kind);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("Sondrelix.chm"));
    if (kind == QStringLiteral("folder")) {
        QVERIFY(QDir().mkdir(path));
    } else if (kind == QStringLiteral("foreign")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
    } else if (kind == QStringLiteral("beside")) {
        path = QCoreApplication::applicationDirPath() + QStringLiteral("/Sondrelix.chm");
        QVERIFY(!QFileInfo::exists(path));
    }
    ModalWatcher watcher;
    QWidget* window = kind == QStringLiteral("beside") ? sondrel::ShowHelpTopics(nullptr)
                                                       : sondrel::showHelpFile(path, nullptr);
    QCOMPARE(window, nullptr);
    QVERIFY(watcher.seen().shown);
    QCOMPARE(watcher.seen().caption, QStringLiteral("Error"));
    QCOMPARE(watcher.seen().text, QStringLiteral("The help file ") + path + QStringLiteral(" ") + reason);
}

void TestHelp::builtHelpOpensOnItsDefaultPage()
{
#ifndef SONDREL_BUILT_HELP_FILE
    QSKIP("chmcmd was not found at configure time, so no help file was built");
#else
    std::unique_ptr<sondrel::ChmFile> file = sondrel::ChmFile::open(QStringLiteral(SONDREL_BUILT_HELP_FILE));
    QVERIFY(file);
    QCOMPARE(QString::fromStdString(file->defaultPage()), QStringLiteral("/index.html"));

    QWidget* window = sondrel::openHelpFile(QStringLiteral(SONDREL_BUILT_HELP_FILE), nullptr);
    QVERIFY(window);
    QVERIFY(window->isVisible());
    QCOMPARE(window->windowTitle(), QStringLiteral("Sondrel Help"));
    auto& browser = static_cast<sondrel::HelpWindow*>(window)->browser();
    QVERIFY(browser.toPlainText().contains(QStringLiteral("which application on this computer")));
    window->close();
#endif
}

void TestHelp::builtHelpFollowsLinksInsideTheFile()
{
#ifndef SONDREL_BUILT_HELP_FILE
    QSKIP("chmcmd was not found at configure time, so no help file was built");
#else
    QWidget* window = sondrel::openHelpFile(QStringLiteral(SONDREL_BUILT_HELP_FILE), nullptr);
    QVERIFY(window);
    auto& browser = static_cast<sondrel::HelpWindow*>(window)->browser();

    const QVariant picture = browser.loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("images/sondrel-48.png")));
    QCOMPARE(QImage::fromData(picture.toByteArray()).size(), QSize(48, 48));
    QVERIFY(browser.loadResource(QTextDocument::StyleSheetResource, QUrl(QStringLiteral("style.css")))
                .toByteArray()
                .contains("font-family"));
    QVERIFY(!browser.loadResource(QTextDocument::HtmlResource, QUrl(QStringLiteral("absent.html"))).isValid());

    emit browser.anchorClicked(QUrl(QStringLiteral("options.html")));
    QCOMPARE(browser.source(), QUrl(QStringLiteral("chm:/options.html")));
    QCOMPARE(window->windowTitle(), QStringLiteral("Options"));
    QVERIFY(browser.toPlainText().contains(QStringLiteral("Network interface to snoop")));

    emit browser.anchorClicked(QUrl(QStringLiteral("permissions.html")));
    QCOMPARE(window->windowTitle(), QStringLiteral("Permissions"));
    browser.backward();
    QCOMPARE(window->windowTitle(), QStringLiteral("Options"));
    window->close();
#endif
}

QTEST_MAIN(TestHelp)
#include "test_help.moc"

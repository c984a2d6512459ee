#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "ui/app_image_list.h"
#include "engine/desktop_entry_index.h"

using namespace sondrel;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QPixmap filled(QColor colour) {
    QPixmap pixmap(16, 16);
    pixmap.fill(colour);
    return pixmap;
}

QRgb centre(const QIcon& icon) { return icon.pixmap(16, 16).toImage().pixel(8, 8); }

}  // namespace

class TestAppImages : public QObject {
    Q_OBJECT

private slots:
    void parseDesktopEntry_data();
    void parseDesktopEntry();
    void execProgram_data();
    void execProgram();
    void indexFindsIconsByExecutable_data();
    void indexFindsIconsByExecutable();
    void imageKinds_data();
    void imageKinds();

private:
    void buildTree();
    QTemporaryDir m_tree;
    QString m_userData;
    QString m_systemData;
    QString m_bin;
};

void TestAppImages::parseDesktopEntry_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("exec");
    QTest::addColumn<QString>("tryExec");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<bool>("hidden");
    QTest::newRow("plain") << QByteArray("[Desktop Entry]\nType=Application\nExec=firefox-esr %u\nIcon=firefox-esr\n")
                           << "firefox-esr %u" << "" << "firefox-esr" << false;
    QTest::newRow("spaces around equals, CR LF")
        << QByteArray("[Desktop Entry]\r\nExec = app\r\nIcon = app-icon \r\n") << "app" << "" << "app-icon" << false;
    QTest::newRow("actions group ignored")
        << QByteArray("[Desktop Entry]\nExec=main\nIcon=m\n[Desktop Action new]\nExec=other\nIcon=o\n") << "main" << ""
        << "m" << false;
    QTest::newRow("keys before any group ignored") << QByteArray("Exec=stray\n[Desktop Entry]\nIcon=i\n") << "" << ""
                                                   << "i" << false;
    QTest::newRow("localised icon ignored")
        << QByteArray("[Desktop Entry]\nIcon[de]=de\nIcon=base\n") << "" << "" << "base" << false;
    QTest::newRow("comments and junk lines")
        << QByteArray("# c\n[Desktop Entry]\n#Icon=no\nno equals here\nTryExec=/opt/x/bin/x\n") << "" << "/opt/x/bin/x"
        << "" << false;
    QTest::newRow("escapes") << QByteArray("[Desktop Entry]\nExec=a\\sb\\\\c \\t\n") << "a b\\c \t" << "" << ""
                             << false;
    QTest::newRow("hidden") << QByteArray("[Desktop Entry]\nHidden=true\nIcon=x\n") << "" << "" << "x" << true;
    QTest::newRow("hidden false") << QByteArray("[Desktop Entry]\nHidden=false\n") << "" << "" << "" << false;
    QTest::newRow("empty") << QByteArray() << "" << "" << "" << false;
    QTest::newRow("binary junk") << QByteArray("\0\xff[Desktop Entry\n=\n[", 18) << "" << "" << "" << false;
}

void TestAppImages::parseDesktopEntry() {
    QFETCH(QByteArray, text);
    const DesktopEntry entry = sondrel::parseDesktopEntry(std::string_view(text.constData(), std::size_t(text.size())));
    QTEST(QString::fromStdString(entry.exec), "exec");
    QTEST(QString::fromStdString(entry.tryExec), "tryExec");
    QTEST(QString::fromStdString(entry.icon), "icon");
    QTEST(entry.hidden, "hidden");
}

void TestAppImages::execProgram_data() {
    QTest::addColumn<QString>("exec");
    QTest::addColumn<QString>("program");
    QTest::newRow("field code") << "firefox-esr %u" << "firefox-esr";
    QTest::newRow("absolute") << "/usr/lib/x/x --flag" << "/usr/lib/x/x";
    QTest::newRow("quoted with spaces") << "\"/opt/My App/bin/app\" --new-window %U" << "/opt/My App/bin/app";
    QTest::newRow("quoted with escaped quote") << "\"/opt/a\\\"b\" x" << "/opt/a\"b";
    QTest::newRow("env assignments") << "env LANG=C GDK_BACKEND=x11 /usr/bin/tool -x" << "/usr/bin/tool";
    QTest::newRow("env only") << "env A=1" << "";
    QTest::newRow("leading blanks") << "   prog" << "prog";
    QTest::newRow("unterminated quote") << "\"/opt/open" << "/opt/open";
    QTest::newRow("empty") << "" << "";
}

void TestAppImages::execProgram() {
    QFETCH(QString, exec);
    QTEST(QString::fromStdString(sondrel::execProgram(exec.toStdString())), "program");
}

void TestAppImages::buildTree() {
    if (!m_bin.isEmpty()) return;
    QVERIFY(m_tree.isValid());
    m_userData = m_tree.filePath("user");
    m_systemData = m_tree.filePath("system");
    m_bin = m_tree.filePath("bin");
    const QString icons = m_tree.filePath("icons");
    QDir().mkpath(icons);
    QVERIFY(filled(Qt::red).save(icons + "/red.png"));
    QVERIFY(filled(Qt::blue).save(icons + "/blue.png"));
    QDir().mkpath(m_systemData + "/pixmaps");
    QVERIFY(filled(Qt::green).save(m_systemData + "/pixmaps/legacy.png"));
    // A program on the search path reached through a link, as /usr/bin entries often are.
    writeFile(m_tree.filePath("opt/linked/real-linked"), "#!/bin/sh\n");
    QDir().mkpath(m_bin);
    QVERIFY(QFile::link(m_tree.filePath("opt/linked/real-linked"), m_bin + "/linked"));

    writeFile(m_systemData + "/applications/editor.desktop",
              "[Desktop Entry]\nExec=editor %F\nIcon=" + icons.toUtf8() + "/blue.png\n");
    // The user's entry of the same id wins over the system's.
    writeFile(m_userData + "/applications/editor.desktop",
              "[Desktop Entry]\nExec=editor %F\nIcon=" + icons.toUtf8() + "/red.png\n");
    writeFile(m_systemData + "/applications/viewer.desktop",
              "[Desktop Entry]\nExec=/opt/viewer/bin/viewer\nIcon=" + icons.toUtf8() + "/blue.png\n");
    writeFile(m_systemData + "/applications/vendor/tool.desktop",
              "[Desktop Entry]\nExec=sh -c tool\nTryExec=/opt/tool/tool\nIcon=" + icons.toUtf8() + "/red.png\n");
    writeFile(m_systemData + "/applications/linked.desktop",
              "[Desktop Entry]\nExec=linked\nIcon=" + icons.toUtf8() + "/blue.png\n");
    writeFile(m_systemData + "/applications/legacy.desktop", "[Desktop Entry]\nExec=legacy\nIcon=legacy\n");
    writeFile(m_systemData + "/applications/gone.desktop",
              "[Desktop Entry]\nExec=gone\nIcon=" + icons.toUtf8() + "/red.png\n");
    writeFile(m_userData + "/applications/gone.desktop", "[Desktop Entry]\nHidden=true\n");
    writeFile(m_systemData + "/applications/missing.desktop",
              "[Desktop Entry]\nExec=missing\nIcon=" + icons.toUtf8() + "/no-such.png\n");
    writeFile(m_systemData + "/applications/noicon.desktop", "[Desktop Entry]\nExec=noicon\n");
    writeFile(m_systemData + "/applications/readme.txt", "[Desktop Entry]\nExec=readme\nIcon=x\n");
}

void TestAppImages::indexFindsIconsByExecutable_data() {
    buildTree();
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("icon");
    const QString icons = m_tree.filePath("icons");
    QTest::newRow("bare Exec by file name") << "/usr/bin/editor" << icons + "/red.png";
    QTest::newRow("absolute Exec") << "/opt/viewer/bin/viewer" << icons + "/blue.png";
    QTest::newRow("absolute Exec's file name elsewhere") << "/usr/local/bin/viewer" << icons + "/blue.png";
    QTest::newRow("TryExec in a vendor folder") << "/opt/tool/tool" << icons + "/red.png";
    QTest::newRow("link on the search path, real file")
        << QFileInfo(m_tree.filePath("opt/linked/real-linked")).canonicalFilePath() << icons + "/blue.png";
    QTest::newRow("theme name") << "/usr/games/legacy" << "legacy";
    QTest::newRow("hidden entry hides the system one") << "/usr/bin/gone" << "";
    QTest::newRow("entry without icon") << "/usr/bin/noicon" << "";
    QTest::newRow("not a desktop file") << "/usr/bin/readme" << "";
    QTest::newRow("unknown") << "/usr/bin/unknown" << "";
}

void TestAppImages::indexFindsIconsByExecutable() {
    QFETCH(QString, executable);
    const DesktopEntryIndex index({m_userData.toStdString(), m_systemData.toStdString(), "/nonexistent"},
                                  {m_tree.filePath("nobin").toStdString(), m_bin.toStdString()});
    const auto icon = index.iconFor(executable.toStdString());
    QTEST(icon ? QString::fromStdString(*icon) : QString(), "icon");
}

void TestAppImages::imageKinds_data() {
    buildTree();
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QRgb>("colour");
    const QRgb generic = QColor(Qt::gray).rgb();
    const QRgb protocol = QColor(Qt::yellow).rgb();
    QTest::newRow("TCP protocol") << "TCP protocol" << int(AppIconKind::Protocol) << protocol;
    QTest::newRow("ICMP protocol") << "ICMP protocol" << int(AppIconKind::Protocol) << protocol;
    QTest::newRow("protocol wins over a path") << "/usr/bin/editor protocol" << int(AppIconKind::Protocol)
                                               << protocol;
    QTest::newRow("Protocol is case-sensitive") << "Protocol" << int(AppIconKind::Generic) << generic;
    QTest::newRow("path with desktop entry") << "/usr/bin/editor" << int(AppIconKind::Associated)
                                             << QColor(Qt::red).rgb();
    QTest::newRow("pixmaps folder picture") << "/usr/bin/legacy" << int(AppIconKind::Associated)
                                            << QColor(Qt::green).rgb();
    QTest::newRow("entry's picture missing") << "/usr/bin/missing" << int(AppIconKind::Generic) << generic;
    QTest::newRow("path without entry") << "/usr/bin/unknown" << int(AppIconKind::Generic) << generic;
    QTest::newRow("file name only") << "editor" << int(AppIconKind::Generic) << generic;
    QTest::newRow("process id") << "Process ID# 4242" << int(AppIconKind::Generic) << generic;
}

void TestAppImages::imageKinds() {
    QFETCH(QString, name);
    auto index = std::make_shared<const DesktopEntryIndex>(
        std::vector<std::string>{m_userData.toStdString(), m_systemData.toStdString()}, std::vector<std::string>{});
    AppImageList images(QIcon(filled(Qt::gray)), QIcon(filled(Qt::yellow)), index);
    images.append(u"UDP protocol");
    const AppIconChooser choose = images.chooser();
    QTEST(int(choose(name.toStdU16String())), "kind");
    QCOMPARE(images.size(), std::size_t(2));
    QTEST(centre(images.image(1)), "colour");
    QVERIFY(images.image(2).isNull());
    QVERIFY(images.image(-1).isNull());
}

QTEST_MAIN(TestAppImages)
#include "test_app_images.moc"

#include "app/mainwindow.h"
#include "app/shortcuts.h"
#include "common/testsupport.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

class TestShortcuts : public QObject
{
    Q_OBJECT
private slots:
    void init() { removeStartupShortcut(); }
    void pathRule();
    void createAndRemove();
    void removeWithoutShortcut();
    void createReplaces_data();
    void createReplaces();
    void stateTexts();
    void mainWindowSeesShortcut();
};

void TestShortcuts::pathRule()
{
    const QString apps = QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation).first();
    // The name follows the executable's base name (this test's own).
    QCOMPARE(startupShortcutPath(), apps + QStringLiteral("/Startup/tst_shortcuts.lnk"));
}

void TestShortcuts::createAndRemove()
{
    QVERIFY(!startupShortcutPresent());
    QVERIFY(createStartupShortcut());
    QVERIFY(startupShortcutPresent());
    QCOMPARE(QFileInfo(startupShortcutPath()).symLinkTarget(), QCoreApplication::applicationFilePath());

    // On Linux the log-on start itself comes from an XDG autostart entry.
    const QString autostart = platform::logonStartPath(QStringLiteral("tst_shortcuts"));
    QCOMPARE(autostart,
             qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/autostart/tst_shortcuts.desktop"));
    const QString entry = QString::fromUtf8(readWholeFile(autostart));
    QVERIFY(entry.startsWith(QStringLiteral("[Desktop Entry]\n")));
    QVERIFY(entry.contains(QStringLiteral("\nType=Application\n")));
    QVERIFY2(entry.contains(QStringLiteral("\nExec=\"") + QCoreApplication::applicationFilePath() +
                            QStringLiteral("\"\n")),
             qPrintable(entry));

    QVERIFY(removeStartupShortcut());
    QVERIFY(!startupShortcutPresent());
    QVERIFY(!QFile::exists(startupShortcutPath()));
    QVERIFY(!QFile::exists(autostart));
}

void TestShortcuts::removeWithoutShortcut()
{
    QVERIFY(!removeStartupShortcut());
    QVERIFY(!startupShortcutPresent());
}

void TestShortcuts::createReplaces_data()
{
    QTest::addColumn<QString>("oldTarget"); // what the old link points at; "" for our own link
    QTest::newRow("created twice") << QString();
    QTest::newRow("dangling link") << QStringLiteral("/nonexistent/stablomat");
    QTest::newRow("link to another program") << QStringLiteral("/bin/true");
}

void TestShortcuts::createReplaces()
{
    QFETCH(QString, oldTarget);
    if (oldTarget.isEmpty()) {
        QVERIFY(createStartupShortcut());
    } else {
        QVERIFY(QDir().mkpath(QFileInfo(startupShortcutPath()).absolutePath()));
        QVERIFY(QFile::link(oldTarget, startupShortcutPath()));
    }
    // Replaced, as a shell link is on Windows.
    QVERIFY(createStartupShortcut());
    QVERIFY(startupShortcutPresent());
    QCOMPARE(QFileInfo(startupShortcutPath()).symLinkTarget(), QCoreApplication::applicationFilePath());
}

void TestShortcuts::stateTexts()
{
    QCOMPARE(shortcutStateText(true), QStringLiteral("Po spuštění - ano"));
    QCOMPARE(shortcutStateText(false), QStringLiteral("Po spuštění - ne"));
}

void TestShortcuts::mainWindowSeesShortcut()
{
    {
        MainWindow w;
        QVERIFY(!w.startupShortcutExists());
    }
    QVERIFY(createStartupShortcut());
    MainWindow w;
    QVERIFY(w.startupShortcutExists());
}

STABLOMAT_TEST_MAIN(TestShortcuts)
#include "tst_shortcuts.moc"

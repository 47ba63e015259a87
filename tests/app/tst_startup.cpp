#include "app/startup.h"
#include "common/firebird.h"
#include "common/simprocess.h"
#include "common/testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>

#include <signal.h>

// Starts the real program (the start-up harness) as its own process under a chosen file name.
class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void secondInstanceRefused_data();
    void secondInstanceRefused();
    void otherNamesAllowed_data();
    void otherNamesAllowed();
    void noTray();
    void signalWhileWaitingForTheTray();
    void closeWithTrayModeOff();
    void closeWithTrayModeOn();
    void noOpenGlDriverLoaded();
    void hiddenStartWithLateTray();
    void endDuringRun_data();
    void endDuringRun();

private:
    struct Outcome
    {
        int exitCode = -1;
        QStringList lines;
        QString errors;
    };
    // link: started through a symbolic link of that name (as the start-up shortcut starts it)
    bool start(QProcess &p, const QString &name, const QString &mode, const QStringList &extraEnv = {},
               const QString &link = QString());
    Outcome run(const QString &name, const QString &mode, const QStringList &extraEnv = {},
                const QString &link = QString());
    QString settingsFile() const { return home.path() + QStringLiteral("/config/Brantol/stablomat.conf"); }
    // A setting of the program's own file, read or written as the program keeps it ("settings/" + key).
    QVariant setting(const QString &key) const
    {
        return QSettings(settingsFile(), QSettings::IniFormat).value(QStringLiteral("settings/") + key);
    }
    void store(const QVariantMap &values) const
    {
        QSettings s(settingsFile(), QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            s.setValue(QStringLiteral("settings/") + it.key(), it.value());
    }
    void startSleeper(const QString &name);

    QTemporaryDir home;
    QTemporaryDir bin;
    QProcess *sleeper = nullptr;
    QString unique;
};

void TestStartup::init()
{
    unique = QStringLiteral("stablomat-%1").arg(QCoreApplication::applicationPid());
    QDir(home.path()).removeRecursively();
    QDir().mkpath(home.path() + QStringLiteral("/config"));
}

void TestStartup::cleanup()
{
    if (sleeper) {
        sleeper->kill();
        sleeper->waitForFinished();
        delete sleeper;
        sleeper = nullptr;
    }
}

void TestStartup::startSleeper(const QString &name)
{
    QDir().mkpath(bin.path() + QStringLiteral("/other"));
    const QString exe = bin.path() + QStringLiteral("/other/") + name;
    QFile::remove(exe);
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), exe));
    sleeper = new QProcess;
    sleeper->start(exe, {QStringLiteral("60")});
    QVERIFY(sleeper->waitForStarted());
}

bool TestStartup::start(QProcess &p, const QString &name, const QString &mode, const QStringList &extraEnv,
                        const QString &link)
{
    QString exe = bin.path() + QLatin1Char('/') + name;
    QFile::remove(exe);
    if (!QFile::copy(QStringLiteral(STARTUP_HARNESS), exe))
        return false;
    if (!link.isEmpty()) {
        const QString linkPath = bin.path() + QLatin1Char('/') + link;
        QFile::remove(linkPath);
        if (!QFile::link(exe, linkPath))
            return false;
        exe = linkPath;
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("WINEPREFIX"), home.path() + QStringLiteral("/wine"));
    env.insert(QStringLiteral("HARNESS_MODE"), mode);
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    for (const QString &kv : extraEnv)
        env.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(bin.path());
    p.start(exe, QStringList());
    return p.waitForStarted();
}

TestStartup::Outcome TestStartup::run(const QString &name, const QString &mode, const QStringList &extraEnv,
                                      const QString &link)
{
    QProcess p;
    Outcome o;
    if (!start(p, name, mode, extraEnv, link))
        return o;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        o.errors = QStringLiteral("harness did not finish");
        return o;
    }
    o.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    o.lines = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    o.lines.removeAll(QStringLiteral("TRAY WAIT")); // a tray host that comes late is not seen here
    o.errors = QString::fromUtf8(p.readAllStandardError());
    return o;
}

static QString boxLine(const QString &title, QString text)
{
    return QStringLiteral("BOX\t") + title + QLatin1Char('\t') +
           text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
}

void TestStartup::secondInstanceRefused_data()
{
    QTest::addColumn<QString>("link");
    QTest::newRow("same file name") << QString();
    QTest::newRow("through a link") << QStringLiteral("stablomat.lnk");
}

void TestStartup::secondInstanceRefused()
{
    QFETCH(QString, link);
    startSleeper(unique);
    const Outcome o = run(unique, QStringLiteral("show"), {}, link);
    QVERIFY2(o.exitCode == 0, qPrintable(o.errors));
    const QString expected =
        QStringLiteral("Program stablomat.exe je již spuštěn a jsou zakázány\njeho vícenasobné "
                       "instance.\n\nSpuštěný program se bude nacházet dole v panelu úloh.");
    QCOMPARE(secondInstanceText(), expected);
    // The message names stablomat.exe whatever the real file is called, and no window comes up.
    QCOMPARE(o.lines, QStringList{boxLine(QStringLiteral("Systray"), expected)});
}

void TestStartup::otherNamesAllowed_data()
{
    QTest::addColumn<QString>("runningSuffix");
    QTest::newRow("nothing else running") << QString();
    QTest::newRow("other file name running") << QStringLiteral("-copy");
    QTest::newRow("name differing in case running") << QStringLiteral("CASE");
}

void TestStartup::otherNamesAllowed()
{
    QFETCH(QString, runningSuffix);
    if (runningSuffix == QLatin1String("CASE"))
        startSleeper(unique.toUpper());
    else if (!runningSuffix.isEmpty())
        startSleeper(unique + runningSuffix);
    const Outcome o = run(unique, QStringLiteral("show"));
    QVERIFY2(o.exitCode == 0, qPrintable(o.errors));
    QCOMPARE(o.lines.size(), 1);
    const QStringList parts = o.lines.first().split(QLatin1Char('\t'));
    QCOMPARE(parts.size(), 3);
    QCOMPARE(parts.at(0), QStringLiteral("WINDOW"));
    const QStringList geometry = parts.at(1).split(QLatin1Char(' '));
    const QStringList desktop = parts.at(2).split(QLatin1Char(' '));
    const int w = geometry.at(2).toInt(), h = geometry.at(3).toInt();
    QCOMPARE(QSize(w, h), QSize(626, 464));
    // Centred on the desktop.
    QCOMPARE(geometry.at(0).toInt(), (desktop.at(0).toInt() - w) / 2);
    QCOMPARE(geometry.at(1).toInt(), (desktop.at(1).toInt() - h) / 2);
}

void TestStartup::noTray()
{
    const Outcome o = run(unique, QStringLiteral("show"), {QStringLiteral("QT_QPA_PLATFORM=offscreen")});
    QCOMPARE(o.exitCode, 1);
    QCOMPARE(o.lines,
             QStringList{boxLine(QStringLiteral("Systray"),
                                 QStringLiteral("I couldn't detect any system tray on this system."))});
    // The main window was built (settings read and the identifier stored) but never shown.
    QCOMPARE(setting("uuid").toString().size(), 38);
}

void TestStartup::signalWhileWaitingForTheTray()
{
    store({{"od_hodina1", "abc"}});
    QProcess p;
    QVERIFY(start(p, unique, QStringLiteral("show"), {QStringLiteral("QT_QPA_PLATFORM=offscreen")}));
    // Within the 3 s the program gives a tray to come up.
    QVERIFY(p.waitForReadyRead(10000));
    QCOMPARE(p.readLine(), QByteArray("TRAY WAIT\n"));
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(p.readAllStandardOutput(), QByteArray()); // no "no tray" box
    QCOMPARE(setting("od_hodina1").toString(), QStringLiteral("0"));
}

void TestStartup::closeWithTrayModeOff()
{
    store({{"trayicon", false}, {"dojeni2", true}, {"od_hodina2", "abc"}});
    const Outcome o = run(unique, QStringLiteral("close"));
    QVERIFY2(o.exitCode == 0, qPrintable(o.errors));
    // The process ended at the close: the harness never saw it again.
    QCOMPARE(o.lines.size(), 1);
    QVERIFY(o.lines.first().startsWith(QStringLiteral("WINDOW\t")));
    // The milking periods of the run were saved all the same.
    QCOMPARE(setting("dojeni2").toBool(), true);
    QCOMPARE(setting("od_hodina2").toString(), QStringLiteral("0"));
    QVERIFY(setting("do_hodina3").isValid());
}

void TestStartup::closeWithTrayModeOn()
{
    store({{"trayicon", true}, {"od_hodina1", "abc"}});
    const Outcome o = run(unique, QStringLiteral("close"));
    QVERIFY2(o.exitCode == 0, qPrintable(o.errors));
    QCOMPARE(o.lines.size(), 2);
    QCOMPARE(o.lines.at(1), QStringLiteral("HIDDEN"));
    // Quit from the tray menu is orderly: the periods are written by the destructor.
    QCOMPARE(setting("od_hodina1").toString(), QStringLiteral("0"));
}

void TestStartup::noOpenGlDriverLoaded()
{
    // Nothing in the program draws with OpenGL; a driver loaded anyway costs tens of MB all day.
    const Outcome o = run(unique, QStringLiteral("gl"));
    QVERIFY2(o.exitCode == 0, qPrintable(o.errors));
    QCOMPARE(o.lines.size(), 2);
    QVERIFY(o.lines.at(0).startsWith(QStringLiteral("WINDOW\t")));
    QVERIFY(o.lines.at(1).startsWith(QStringLiteral("GL\t")));
    if (o.lines.at(1) == QLatin1String("GL\t?"))
        QSKIP("no /proc/self/maps here");
    QCOMPARE(o.lines.at(1), QStringLiteral("GL\t"));
}

void TestStartup::hiddenStartWithLateTray()
{
    // Started from the start-up shortcut, tray mode on, hourly exchange; a DeLaval converter that
    // takes a second, so the harness sees the exchange running.
    store({{"trayicon", true}, {"zavra_dat_vymena_hod", 1}});
    const QString startup = home.path() + QStringLiteral("/data/applications/Startup");
    QVERIFY(QDir().mkpath(startup));
    QVERIFY(QFile::link(QStringLiteral("/bin/true"),
                        startup + QLatin1Char('/') + unique + QStringLiteral(".lnk")));
    QVERIFY(
        writeScript(home.path() + QStringLiteral("/wine/drive_c/alpro/iso32.exe"), "#!/bin/sh\nsleep 1\n"));

    // A display whose tray host comes up a second after the program.
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                QStringLiteral("tcp")});
    QVERIFY(xvfb.waitForReadyRead(20000));
    const QString display = QLatin1Char(':') + QString::fromLatin1(xvfb.readLine()).trimmed();
    QProcess trayer;
    QProcessEnvironment trayEnv = QProcessEnvironment::systemEnvironment();
    trayEnv.insert(QStringLiteral("DISPLAY"), display);
    trayEnv.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    trayer.setProcessEnvironment(trayEnv);
    trayer.start(QStringLiteral("/bin/sh"),
                 {QStringLiteral("-c"), QStringLiteral("sleep 1; exec trayer --edge bottom")});

    const Outcome o = run(unique, QStringLiteral("exchange"), {QStringLiteral("DISPLAY=") + display});
    trayer.kill();
    trayer.waitForFinished();
    xvfb.kill();
    xvfb.waitForFinished();
    QVERIFY2(o.exitCode == 0, qPrintable(o.errors));
    // The exchange waited for the tray, and the program still went to the tray.
    QCOMPARE(o.lines, (QStringList{QStringLiteral("EXCHANGE\ttray 1"), QStringLiteral("HIDDEN")}));
}

void TestStartup::endDuringRun_data()
{
    QTest::addColumn<QString>("system");
    QTest::addColumn<int>("end"); // 0: the tray's "&Ukončit", else the signal sent
    QTest::addColumn<QString>("sendAfter");
    QTest::newRow("tray quit, converter hangs") << "delaval" << 0 << "";
    QTest::newRow("SIGTERM, converter hangs") << "delaval" << int(SIGTERM) << "PAINTED";
    QTest::newRow("SIGINT, converter hangs") << "delaval" << int(SIGINT) << "PAINTED";
    QTest::newRow("SIGTERM after a HerdMetrix exchange") << "uniform" << int(SIGTERM) << "EXCHANGED";
}

void TestStartup::endDuringRun()
{
    QFETCH(QString, system);
    QFETCH(int, end);
    QFETCH(QString, sendAfter);
    store({{"od_hodina1", "abc"}});
    const QString prefix = home.path() + QStringLiteral("/wine");
    const QString alpro = prefix + QStringLiteral("/drive_c/alpro");
    if (system == QLatin1String("delaval")) {
        // A converter that starts a child, writes half an answer and never ends.
        QVERIFY(writeScript(alpro + QStringLiteral("/iso32.exe"),
                            "#!/bin/sh\necho started >>starts\nsleep 600 &\necho $$ $! >pids\n"
                            "printf 'CN half' >\"$4\"\nwait\n"));
    } else {
        QString problem;
        if (!firebird::ensureRunning(&problem))
            QSKIP(qPrintable(problem));
        QVERIFY(firebird::openToServer(home.path()));
        const QString herd = generateHerdFile(home.path() + QStringLiteral("/herd.json"), 5, 3);
        QVERIFY(!herd.isEmpty());
        const QByteArray error = layOutFarm("uniform", herd, {}, prefix);
        QVERIFY2(error.isEmpty(), error.constData());
    }

    QProcess p;
    QVERIFY(start(p, unique, QStringLiteral("run"),
                  {QStringLiteral("HARNESS_END=") + (end ? QStringLiteral("signal") : QStringLiteral("tray")),
                   QStringLiteral("ZAVRA_URL=http://127.0.0.1:9")}));
    QString out;
    if (end) {
        while (!out.contains(sendAfter) && p.waitForReadyRead(60000))
            out += QString::fromUtf8(p.readAllStandardOutput());
        QVERIFY2(out.contains(sendAfter), qPrintable(out));
        ::kill(static_cast<pid_t>(p.processId()), end);
    }
    // Ended at once, not after the converter's 30 minutes or the answer's two.
    QVERIFY2(p.waitForFinished(15000), qPrintable(out));
    out += QString::fromUtf8(p.readAllStandardOutput());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    // Orderly: the destructor saved the periods.
    QCOMPARE(setting("od_hodina1").toString(), QStringLiteral("0"));
    if (system != QLatin1String("delaval")) {
        // The Firebird client replaces the handler as it attaches; the program puts its own back.
        QVERIFY2(out.contains(QStringLiteral("SIGTERM kept\n")), qPrintable(out));
        return;
    }
    QVERIFY2(out.contains(QStringLiteral("RUNNING\nPAINTED\n")), qPrintable(out));
    // One run only, and nothing of it left: not the converter, not its child, not half an answer.
    QCOMPARE(readWholeFile(alpro + QStringLiteral("/starts")), QByteArray("started\n"));
    const QList<QByteArray> pids = readWholeFile(alpro + QStringLiteral("/pids")).trimmed().split(' ');
    QCOMPARE(pids.size(), 2);
    for (const QByteArray &pid : pids)
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid) +
                                                    QStringLiteral("/cmdline")) ||
                                     readWholeFile(QStringLiteral("/proc/") + QString::fromLatin1(pid) +
                                                   QStringLiteral("/cmdline"))
                                         .isEmpty(),
                                 3000);
    QVERIFY(!QFileInfo::exists(alpro + QStringLiteral("/stablomat_out.txt")));
}

STABLOMAT_TEST_MAIN_CORE(TestStartup)
#include "tst_startup.moc"

// exchangeLely end to end: the window detects the Lely layout of farm-tool and runs taurus2.exe.
#include "common/testsupport.h"

#include "common/registryprocess.h"

#include "app/dialoginfo.h"
#include "app/mainwindow.h"
#include "common/simprocess.h"
#include "exchange/answerfile.h"
#include "herd.h"
#include "platform/platform.h"
#include "platform/settingskeys.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTextEdit>

namespace {

const QString Dir = QStringLiteral("c:/taurus/");

QByteArray lelyRequest()
{
    return QByteArray("CN ***** \xc4\x8dt \xc4\x8dvc 2 09:12:28 2020\r\n"
                      "CN *****\r\n"
                      "CN ***** Velmorin - Lely, reprodukce\r\n"
                      "CN *****\r\n"
                      "DH201861000000000800020157508000201576060002016812400020168408000201685080\r\n"
                      "VH201861DD      20170704142855Agis TFS 6.1.641        6.1.641 STK 2.0 \r\n"
                      "CN *****\r\n"
                      "RN20186300201896060002018121500020006402000201695080002000420800020005008000200513"
                      "080002017430800090008501000900059080002024611500098921715000900058020\r\n"
                      "EN\r\n"
                      "ZN\r\n");
}

bool progressDialogOpen()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (qobject_cast<DialogInfo *>(w) && w->isVisible())
            return true;
    }
    return false;
}

} // namespace

class TestLely : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void exchange_data();
    void exchange();
    void noAnswer();

private:
    QString local(const QString &name) const { return platform::localPath(Dir + name); }
    QTextEdit *textArea() const { return window->findChild<QTextEdit *>(QStringLiteral("textEdit")); }

    QTemporaryDir herdDir;
    QString herdFile;
    int presentCows = 0;
    RegistryProcess *registry = nullptr;
    MainWindow *window = nullptr;
};

void TestLely::initTestCase()
{
    herdFile = generateHerdFile(herdDir.filePath("herd.json"), 25, 3,
                                {"--today", QDate::currentDate().toString(Qt::ISODate)});
    QVERIFY(!herdFile.isEmpty());
    herd::Herd h;
    QString error;
    QVERIFY(h.load(herdFile, &error));
    for (const herd::Cow &c : h.cows)
        presentCows += c.isPresent() ? 1 : 0;
    qputenv("ZAVRA_TIMEOUT_MS", "5000");
}

void TestLely::init()
{
    TestEnvironment::resetDriveC();
    const Run r = runProgram(FARM_TOOL, {"--system", "lely", "--herd", herdFile, "--wineprefix",
                                         TestEnvironment::winePrefix(), "--simulators", SIMULATOR_DIR});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    registry = new RegistryProcess;
    QVERIFY(registry->addUser("4711", "jan", "heslo"));
    QVERIFY(registry->start());
    qputenv("ZAVRA_URL", registry->url().toUtf8());
    exchange::setAnswerWait({20, 50});

    window = new MainWindow;
    // Everything a cloud exchange would need: Lely must use none of it.
    QSettings *s = window->settingsStore();
    s->setValue(keys::CloudNumber, "4711");
    s->setValue(keys::CloudUser, "jan");
    s->setValue(keys::CloudPassword, "heslo");
    s->setValue(keys::InsDays, 30);
    s->setValue(keys::SendDays, 30);
    s->setValue(keys::ImportInseminations, true);
}

void TestLely::cleanup()
{
    window->settingsStore()->clear();
    delete window;
    window = nullptr;
    delete registry;
    registry = nullptr;
    exchange::setAnswerWait(exchange::AnswerWait());
}

void TestLely::exchange_data()
{
    QTest::addColumn<bool>("button");
    QTest::newRow("button") << true;
    QTest::newRow("timer") << false;
}

void TestLely::exchange()
{
    QFETCH(bool, button);
    QCOMPARE(window->milkingSystem(), 4);
    QCOMPARE(window->milkingSystemPath(), QStringLiteral("c:/taurus/taurus2.exe"));
    textArea()->setPlainText("previous run");
    // An earlier answer is replaced; other files of the converter stay.
    QVERIFY(!makeDriveCFile(Dir + "TAU_PRC.2", "VN201863   999\r\n").isEmpty());
    QVERIFY(!makeDriveCFile(Dir + "OTHER.2", "kept").isEmpty());

    ModalAnswerer answerer;
    window->runExchange(button, button);

    QCOMPARE(readWholeFile(local("tau_ms.2")), lelyRequest());
    QFile answer(local("TAU_PRC.2"));
    QVERIFY(answer.open(QIODevice::ReadOnly));
    int cowLines = 0;
    for (const QString &l : exchange::readAnswerLines(answer)) {
        if (l.startsWith("VN201863")) {
            ++cowLines;
            QCOMPARE(l.size(), 8 + 104);
            QVERIFY(l.mid(8, 6) != "   999");
        }
    }
    QCOMPARE(cowLines, presentCows);
    QCOMPARE(readWholeFile(local("OTHER.2")), QByteArray("kept"));
    QVERIFY(textArea()->toPlainText().isEmpty());
    QVERIFY(!progressDialogOpen());
    QVERIFY(answerer.boxes.isEmpty());
    QVERIFY(registry->requests().isEmpty());
}

void TestLely::noAnswer()
{
    QVERIFY(QFile::remove(local("taurus2.exe")));
    textArea()->setPlainText("previous run");
    ModalAnswerer answerer;
    QElapsedTimer clock;
    clock.start();
    window->exchangeLely(false, true);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!QFileInfo::exists(local("TAU_PRC.2")));
    QCOMPARE(readWholeFile(local("tau_ms.2")), lelyRequest());
    QVERIFY(textArea()->toPlainText().isEmpty());
    QVERIFY(!progressDialogOpen());
    QVERIFY(answerer.boxes.isEmpty());
    QVERIFY(registry->requests().isEmpty());
}

STABLOMAT_TEST_MAIN(TestLely)
#include "tst_lely.moc"

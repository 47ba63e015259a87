// Helpers shared by the test suites.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class MainWindow;
class QMessageBox;
class QWidget;
class QSettings;

// Gives the process a private HOME, XDG_CONFIG_HOME, XDG_DATA_HOME and WINEPREFIX. Must run
// before the first QSettings or QStandardPaths call of the process (see STABLOMAT_TEST_MAIN).
class TestEnvironment
{
public:
    static void setUp();
    static QString root();
    static QString winePrefix();
    // Replaces the fake drive C with an empty one.
    static void resetDriveC();
};

// Creates a file under the fake drive C, named the Windows way ("c:/alpro/iso32.exe").
QString makeDriveCFile(const QString &windowsPath, const QByteArray &content = QByteArray());

// Answers modal message boxes while it lives: records each box's title and text and clicks the
// button chosen (OK unless told otherwise).
class ModalAnswerer : public QObject
{
    Q_OBJECT
public:
    struct Box
    {
        QString title;
        QString text;
        QString icon; // "information", "warning", "critical", "question" or ""
        QObject *parent = nullptr;
        int buttons = 0; // its QMessageBox::StandardButtons
    };
    explicit ModalAnswerer(QObject *parent = nullptr);
    ~ModalAnswerer() override;
    QList<Box> boxes;
    // Each box's text, or only its first line (the words below "Chyba: -N" are checked elsewhere).
    QStringList texts(bool firstLines = false) const;

private:
    void poll();
    void answer(QMessageBox *box);
    QTimer timer;
};

// Counts the paint events of a widget and everything in it while it lives.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *top);
    int paints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

// True in the Windows build (its tests run under Wine).
inline bool runsOnWindows()
{
    return QSysInfo::kernelType() == QLatin1String("winnt");
}

// A test executable started with "--sleep SECONDS" only sleeps: a child process of a chosen name
// for the process-list tests, the same on every platform.
int sleepIfAsked(int argc, char **argv);

// Reads a file whole; empty when it cannot be opened.
QByteArray readWholeFile(const QString &path);
// Writes a file whole, replacing it; false when it cannot.
bool writeWholeFile(const QString &path, const QByteArray &content);
// Writes to the file until the file system refuses more (a full disk).
void fillUp(const QString &path);
// A shell script its owner may run, its directory made first (a stand-in converter).
bool writeScript(const QString &path, const QByteArray &script);
// Text with its line ends made CR LF, as the converters' files have them.
QByteArray crlf(const QString &text);

// The cloud login and the two day windows, as the settings dialog stores them.
void storeCloud(QSettings *store, const QString &cloud, const QString &user, const QString &password,
                int insDays = 30, int sendDays = 30);

// The fifteen milking-period choices as the settings store holds them (in use for milkings 1 to 3,
// then from day, from hour, to day, to hour of each), for a window made after this call.
void storeMilkingPeriods(const QList<int> &values);
// The six bounds (from and to of each milking) those choices give today.
QList<QDateTime> boundsForChoices(const QList<int> &values);

// A widget of a window by its object name, as a user finds it on screen; the test fails without it.
template <typename T> T *widgetNamed(const QObject *window, const QString &name)
{
    T *widget = window->findChild<T *>(name);
    if (!widget)
        qFatal("no widget named %s", qPrintable(name));
    return widget;
}
template <typename T> T *widgetNamed(const QObject *window, const char *name)
{
    return widgetNamed<T>(window, QString::fromLatin1(name));
}

// Waits until no AfiFarm report is left in savefile, no run goes on, and the window's directory
// watcher has passed on every change made there so far (a run's own removals notify it again).
// The window side of the support (common/modalanswerer.cpp).
bool waitForAfifarmRuns(MainWindow *window, const QString &savefile, int timeoutMs = 20000);

// Clears the window's settings and deletes it (none: nothing); the pointer is left null.
void deleteWindow(MainWindow *window);
template <typename W> void discardWindow(W *&window)
{
    deleteWindow(window);
    window = nullptr;
}

#define STABLOMAT_TEST_MAIN(TestObject)                                                                      \
    int main(int argc, char **argv)                                                                          \
    {                                                                                                        \
        TestEnvironment::setUp();                                                                            \
        QApplication app(argc, argv);                                                                        \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                             \
        TestObject tc;                                                                                       \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }

#define STABLOMAT_TEST_MAIN_CORE(TestObject)                                                                 \
    int main(int argc, char **argv)                                                                          \
    {                                                                                                        \
        if (const int slept = sleepIfAsked(argc, argv); slept >= 0)                                          \
            return slept;                                                                                    \
        TestEnvironment::setUp();                                                                            \
        QCoreApplication app(argc, argv);                                                                    \
        TestObject tc;                                                                                       \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }

#include "common/testsupport.h"

#include "app/dialogdojeni.h"
#include "app/mainwindow.h"
#include "platform/settingskeys.h"
#include "sync/milkingperiods.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <functional>

// Asks for the periods as the exchange button does, and records the adapter calls of the dispatcher.
class PeriodWindow : public MainWindow
{
public:
    using MainWindow::askForMilkingPeriods;
    int adapterRuns = 0;
    bool lastFetchYields = false;
    QList<int> values() const { return milkingPeriodChoices(); }
    QList<QDateTime> periods() const { return milkingPeriodBounds(); }

protected:
    void runAdapter(const bool &FetchYields, const bool &) override
    {
        ++adapterRuns;
        lastFetchYields = FetchYields;
    }
};

// The fifteen values in the order of setPeriods.
static void setPeriods(DialogDojeni &d, const QList<int> &v)
{
    const bool b1 = v[0], b2 = v[1], b3 = v[2];
    d.setPeriods(b1, b2, b3, v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12], v[13], v[14]);
}

static QList<int> getPeriods(const DialogDojeni &d)
{
    bool b[3];
    int i[12];
    d.getPeriods(b[0], b[1], b[2], i[0], i[1], i[2], i[3], i[4], i[5], i[6], i[7], i[8], i[9], i[10], i[11]);
    QList<int> v{b[0], b[1], b[2]};
    for (int k : i)
        v.append(k);
    return v;
}

// Runs `act` on the dialog once it is the active modal widget.
static void whenDialogOpens(std::function<void(DialogDojeni *)> act)
{
    QTimer::singleShot(0, [act] {
        auto *d = qobject_cast<DialogDojeni *>(QApplication::activeModalWidget());
        QVERIFY2(d, "the milking-period dialog is not open");
        act(d);
    });
}

static void clickButton(DialogDojeni *d, QDialogButtonBox::StandardButton which)
{
    widgetNamed<QDialogButtonBox>(d, QStringLiteral("buttonBox"))->button(which)->click();
}

class TestDialogDojeni : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void form();
    void tabOrder();
    void firstUse();
    void toggleFillsDefaults_data();
    void toggleFillsDefaults();
    void toggleKeepsChosenValues();
    void roundTrip_data();
    void roundTrip();
    void askAccepted();
    void askCancelled();
    void dispatcher();
    void periodRule_data();
    void periodRule();
    void midnight();

private:
    // The window made again with these choices in the settings store.
    void reopen(const QList<int> &choices)
    {
        delete window;
        storeMilkingPeriods(choices);
        window = new PeriodWindow;
    }
    PeriodWindow *window = nullptr;
};

void TestDialogDojeni::init()
{
    window = new PeriodWindow;
    setMilkingPeriodsClock([] { return QDate(2024, 3, 1); });
}

void TestDialogDojeni::cleanup()
{
    delete window;
    window = nullptr;
    setMilkingPeriodsClock(nullptr);
    TestEnvironment::resetDriveC();
}

void TestDialogDojeni::form()
{
    DialogDojeni d(window);
    QCOMPARE(d.parentWidget(), window);
    QCOMPARE(d.size(), QSize(495, 295));
    auto *grid = widgetNamed<QGridLayout>(&d, QStringLiteral("gridLayout"));

    struct Cell
    {
        const char *name;
        int row, col, colSpan;
        const char *text;
    };
    const Cell labels[] = {
        {"label_4", 0, 2, 2, "Od"},     {"label_7", 0, 4, 2, "Do"},       {"label_6", 1, 2, 1, "Datum"},
        {"label_5", 1, 3, 1, "Hod."},   {"label_9", 1, 4, 1, "Datum"},    {"label_8", 1, 5, 1, "Hod."},
        {"label", 3, 0, 1, "Dojení 1"}, {"label_2", 4, 0, 1, "Dojení 2"}, {"label_3", 5, 0, 1, "Dojení 3"}};
    for (const Cell &c : labels) {
        auto *l = widgetNamed<QLabel>(&d, QLatin1String(c.name));
        QCOMPARE(l->text(), QString::fromUtf8(c.text));
        int row, col, rowSpan, colSpan;
        grid->getItemPosition(grid->indexOf(l), &row, &col, &rowSpan, &colSpan);
        QCOMPARE(row, c.row);
        QCOMPARE(col, c.col);
        QCOMPARE(colSpan, c.colSpan);
        if (c.row < 2)
            QVERIFY(l->alignment() & Qt::AlignHCenter);
        else
            QCOMPARE(l->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    }
    for (const char *name : {"label_4", "label_7"})
        QCOMPARE(widgetNamed<QLabel>(&d, QLatin1String(name))->styleSheet(),
                 QStringLiteral("background-color: rgb(170, 255, 255);"));

    for (int n = 1; n <= 3; ++n) {
        const QString s = QString::number(n);
        const int row = n + 2;
        auto *cb = widgetNamed<QCheckBox>(&d, QStringLiteral("cbdojeni") + s);
        QVERIFY(cb->text().isEmpty());
        const QString combos[] = {QStringLiteral("od_datum") + s, QStringLiteral("do_datum") + s};
        const QString spins[] = {QStringLiteral("od_hodina") + s, QStringLiteral("do_hodina") + s};
        int col, r, rs, cs;
        grid->getItemPosition(grid->indexOf(cb), &r, &col, &rs, &cs);
        QCOMPARE(QPoint(r, col), QPoint(row, 1));
        for (int k = 0; k < 2; ++k) {
            auto *combo = widgetNamed<QComboBox>(&d, combos[k]);
            QCOMPARE(combo->count(), 2);
            QCOMPARE(combo->itemText(0), QStringLiteral("Dnes"));
            QCOMPARE(combo->itemText(1), QString::fromUtf8("Včera"));
            QCOMPARE(combo->minimumWidth(), 100);
            grid->getItemPosition(grid->indexOf(combo), &r, &col, &rs, &cs);
            QCOMPARE(QPoint(r, col), QPoint(row, 2 + 2 * k));
            auto *spin = widgetNamed<QSpinBox>(&d, spins[k]);
            QCOMPARE(spin->minimum(), 0);
            QCOMPARE(spin->maximum(), 23);
            grid->getItemPosition(grid->indexOf(spin), &r, &col, &rs, &cs);
            QCOMPARE(QPoint(r, col), QPoint(row, 3 + 2 * k));
        }
    }

    auto *help = widgetNamed<QLabel>(&d, QStringLiteral("label_10"));
    QVERIFY(help->wordWrap());
    QCOMPARE(
        help->text().toUtf8(),
        QByteArray(
            "Napověda:\nOd - vyberte kdy začínají jednotliva dojení - den/hodina\n"
            "Do - vyberte kdy končí jednotliva dojení - den/hodina\n\n"
            "Příklad 2x dojení za den - může se nastavit od 0 a do 11, pričemž od se bere 0:00 a do 11:59"));
    auto *box = widgetNamed<QDialogButtonBox>(&d, QStringLiteral("buttonBox"));
    QCOMPARE(box->orientation(), Qt::Horizontal);
    QCOMPARE(box->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
}

void TestDialogDojeni::tabOrder()
{
    DialogDojeni d(window);
    setPeriods(d, {1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); // all enabled: every widget takes focus
    QStringList expected;
    for (int n = 1; n <= 3; ++n)
        for (const char *base : {"cbdojeni", "od_datum", "od_hodina", "do_datum", "do_hodina"})
            expected << QLatin1String(base) + QString::number(n);
    QStringList seen;
    QWidget *w = widgetNamed<QWidget>(&d, expected.first());
    for (int guard = 0; guard < 200 && seen.size() < expected.size(); ++guard) {
        if (expected.contains(w->objectName()) && !seen.contains(w->objectName()))
            seen << w->objectName();
        w = w->nextInFocusChain();
    }
    QCOMPARE(seen, expected);
}

void TestDialogDojeni::firstUse()
{
    DialogDojeni d(window);
    setPeriods(d, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    for (int n = 1; n <= 3; ++n) {
        const QString s = QString::number(n);
        QVERIFY(!widgetNamed<QCheckBox>(&d, QStringLiteral("cbdojeni") + s)->isChecked());
        for (const char *base : {"od_datum", "do_datum"}) {
            auto *c = widgetNamed<QComboBox>(&d, QLatin1String(base) + s);
            QVERIFY(!c->isEnabled());
            QCOMPARE(c->currentIndex(), -1);
            QVERIFY(c->currentText().isEmpty());
        }
        for (const char *base : {"od_hodina", "do_hodina"}) {
            auto *sp = widgetNamed<QSpinBox>(&d, QLatin1String(base) + s);
            QVERIFY(!sp->isEnabled());
            QCOMPARE(sp->value(), 0);
        }
    }
    QCOMPARE(getPeriods(d), (QList<int>{0, 0, 0, -1, 0, -1, 0, -1, 0, -1, 0, -1, 0, -1, 0}));
}

void TestDialogDojeni::toggleFillsDefaults_data()
{
    QTest::addColumn<int>("milking");
    QTest::addColumn<QList<int>>("defaults"); // from day, from hour, to day, to hour
    QTest::newRow("1: Včera 12 to Včera 23") << 1 << QList<int>{1, 12, 1, 23};
    QTest::newRow("2: Dnes 0 to Dnes 11") << 2 << QList<int>{0, 0, 0, 11};
    QTest::newRow("3: Dnes 12 to Dnes 23") << 3 << QList<int>{0, 12, 0, 23};
}

void TestDialogDojeni::toggleFillsDefaults()
{
    QFETCH(int, milking);
    QFETCH(QList<int>, defaults);
    DialogDojeni d(window);
    const QString s = QString::number(milking);
    auto *cb = widgetNamed<QCheckBox>(&d, QStringLiteral("cbdojeni") + s);
    auto *fromDay = widgetNamed<QComboBox>(&d, QStringLiteral("od_datum") + s);
    auto *fromHour = widgetNamed<QSpinBox>(&d, QStringLiteral("od_hodina") + s);
    auto *toDay = widgetNamed<QComboBox>(&d, QStringLiteral("do_datum") + s);
    auto *toHour = widgetNamed<QSpinBox>(&d, QStringLiteral("do_hodina") + s);
    const auto state = [&] {
        return QList<int>{fromDay->currentIndex(), fromHour->value(), toDay->currentIndex(), toHour->value()};
    };

    for (int round = 0; round < 2; ++round) { // checking again after unchecking fills the defaults again
        cb->click();
        QVERIFY(cb->isChecked());
        QCOMPARE(state(), defaults);
        QVERIFY(fromDay->isEnabled() && fromHour->isEnabled() && toDay->isEnabled() && toHour->isEnabled());
        fromHour->setValue(5);
        cb->click();
        QCOMPARE(state(), (QList<int>{-1, 0, -1, 0}));
        QVERIFY(!fromDay->isEnabled() && !fromHour->isEnabled() && !toDay->isEnabled() &&
                !toHour->isEnabled());
    }
    // Only this milking changed.
    QList<int> expected{0, 0, 0, -1, 0, -1, 0, -1, 0, -1, 0, -1, 0, -1, 0};
    cb->click();
    expected[milking - 1] = 1;
    for (int k = 0; k < 4; ++k)
        expected[3 + 4 * (milking - 1) + k] = defaults[k];
    QCOMPARE(getPeriods(d), expected);
}

void TestDialogDojeni::toggleKeepsChosenValues()
{
    DialogDojeni d(window);
    // A start already chosen stays; only the empty end gets the default.
    widgetNamed<QComboBox>(&d, QStringLiteral("od_datum1"))->setCurrentIndex(0);
    widgetNamed<QSpinBox>(&d, QStringLiteral("od_hodina1"))->setValue(5);
    widgetNamed<QCheckBox>(&d, QStringLiteral("cbdojeni1"))->click();
    QCOMPARE(getPeriods(d).mid(0, 7), (QList<int>{1, 0, 0, 0, 5, 1, 23}));
}

void TestDialogDojeni::roundTrip_data()
{
    QTest::addColumn<QList<int>>("given");
    QTest::addColumn<QList<int>>("got");
    QTest::newRow("three milkings") << QList<int>{1, 1, 1, 1, 4, 0, 9, 0, 10, 0, 15, 0, 16, 0, 21}
                                    << QList<int>{1, 1, 1, 1, 4, 0, 9, 0, 10, 0, 15, 0, 16, 0, 21};
    QTest::newRow("milking 2 off gives -1 and 0")
        << QList<int>{1, 0, 1, 1, 12, 1, 23, 0, 3, 0, 7, 0, 12, 0, 23}
        << QList<int>{1, 0, 1, 1, 12, 1, 23, -1, 0, -1, 0, 0, 12, 0, 23};
    QTest::newRow("day index outside 0..1 leaves no selection")
        << QList<int>{1, 0, 0, 2, 6, -1, 8, 0, 0, 0, 0, 0, 0, 0, 0}
        << QList<int>{1, 0, 0, -1, 6, -1, 8, -1, 0, -1, 0, -1, 0, -1, 0};
    QTest::newRow("hours clamped to 0..23") << QList<int>{0, 1, 0, 0, 0, 0, 0, 0, 30, 1, -4, 0, 0, 0, 0}
                                            << QList<int>{0, 1, 0, -1, 0, -1, 0, 0, 23, 1, 0, -1, 0, -1, 0};
}

void TestDialogDojeni::roundTrip()
{
    QFETCH(QList<int>, given);
    QFETCH(QList<int>, got);
    DialogDojeni d(window);
    setPeriods(d, given);
    QCOMPARE(getPeriods(d), got);
    for (int n = 1; n <= 3; ++n)
        QCOMPARE(widgetNamed<QComboBox>(&d, QStringLiteral("od_datum") + QString::number(n))->isEnabled(),
                 bool(given[n - 1]));
}

void TestDialogDojeni::askAccepted()
{
    const QList<int> before{1, 1, 0, 1, 12, 1, 23, 0, 0, 0, 11, 0, 0, 0, 0};
    reopen(before);
    window->computeMilkingPeriods();
    QVERIFY(!window->periods()[2].isNull()); // milking 2 had a period from an earlier run

    QString title;
    QObject *parent = nullptr;
    whenDialogOpens([&](DialogDojeni *d) {
        title = d->windowTitle();
        parent = d->parent();
        QVERIFY(widgetNamed<QCheckBox>(d, QStringLiteral("cbdojeni1"))->isChecked());
        widgetNamed<QCheckBox>(d, QStringLiteral("cbdojeni2"))->click(); // milking 2 off
        widgetNamed<QCheckBox>(d, QStringLiteral("cbdojeni3"))->click(); // milking 3 on: Dnes 12 to Dnes 23
        clickButton(d, QDialogButtonBox::Ok);
    });
    QVERIFY(window->askForMilkingPeriods());
    QCOMPARE(title, QString::fromUtf8("Výběr datumů a pořadí dojení"));
    QCOMPARE(parent, window);
    QCOMPARE(window->values(), (QList<int>{1, 0, 1, 1, 12, 1, 23, -1, 0, -1, 0, 0, 12, 0, 23}));
    const QDate today(2024, 3, 1), yesterday(2024, 2, 29);
    const QList<QDateTime> expected{QDateTime(yesterday, QTime(12, 0, 0)),
                                    QDateTime(yesterday, QTime(23, 59, 59)),
                                    QDateTime(),
                                    QDateTime(),
                                    QDateTime(today, QTime(12, 0, 0)),
                                    QDateTime(today, QTime(23, 59, 59))};
    QCOMPARE(window->periods(), expected);
}

void TestDialogDojeni::askCancelled()
{
    const QList<int> before{1, 0, 0, 0, 3, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0};
    reopen(before);
    const QList<QDateTime> periodsBefore = window->periods();
    whenDialogOpens([](DialogDojeni *d) {
        widgetNamed<QCheckBox>(d, QStringLiteral("cbdojeni1"))->click();
        widgetNamed<QCheckBox>(d, QStringLiteral("cbdojeni2"))->click();
        clickButton(d, QDialogButtonBox::Cancel);
    });
    QVERIFY(!window->askForMilkingPeriods());
    QCOMPARE(window->values(), before);
    QCOMPARE(window->periods(), periodsBefore);
}

void TestDialogDojeni::dispatcher()
{
    delete window;
    QVERIFY(!makeDriveCFile(QStringLiteral("c:/alpro/iso32.exe")).isEmpty()); // DeLaval Alpro
    window = new PeriodWindow;
    QCOMPARE(window->milkingSystem(), 1);
    window->settingsStore()->setValue(keys::FetchYields, true);

    whenDialogOpens([](DialogDojeni *d) { clickButton(d, QDialogButtonBox::Ok); });
    window->runExchange(true, true);
    QCOMPARE(window->adapterRuns, 1);
    QVERIFY(window->lastFetchYields);

    whenDialogOpens([](DialogDojeni *d) { clickButton(d, QDialogButtonBox::Cancel); });
    window->runExchange(true, true);
    QCOMPARE(window->adapterRuns, 1); // cancelled: no exchange

    // A timer run never asks and never exports milk yields.
    window->runExchange(false, false);
    QCOMPARE(window->adapterRuns, 2);
    QVERIFY(!window->lastFetchYields);

    window->settingsStore()->setValue(keys::FetchYields, false);
    window->runExchange(true, true);
    QCOMPARE(window->adapterRuns, 3);
    QVERIFY(!window->lastFetchYields);
    window->settingsStore()->remove(keys::FetchYields);
}

void TestDialogDojeni::periodRule_data()
{
    QTest::addColumn<QList<int>>("values"); // in use, from day, from hour, to day, to hour
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QDateTime>("to");
    const QDate today(2024, 3, 1), yesterday(2024, 2, 29);
    QTest::newRow("yesterday 12 to yesterday 23")
        << QList<int>{1, 1, 12, 1, 23} << QDateTime(yesterday, QTime(12, 0))
        << QDateTime(yesterday, QTime(23, 59, 59));
    QTest::newRow("today 0 to today 11")
        << QList<int>{1, 0, 0, 0, 11} << QDateTime(today, QTime(0, 0)) << QDateTime(today, QTime(11, 59, 59));
    QTest::newRow("any day other than 0 is yesterday")
        << QList<int>{1, -1, 20, 7, 5} << QDateTime(yesterday, QTime(20, 0))
        << QDateTime(yesterday, QTime(5, 59, 59));
    QTest::newRow("end before start is kept") << QList<int>{1, 0, 18, 1, 6} << QDateTime(today, QTime(18, 0))
                                              << QDateTime(yesterday, QTime(6, 59, 59));
    QTest::newRow("not in use") << QList<int>{0, 0, 0, 0, 11} << QDateTime() << QDateTime();
}

void TestDialogDojeni::periodRule()
{
    QFETCH(QList<int>, values);
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, to);
    // Through milking 3 of the main window; the other two are off.
    reopen({0, 0, values[0], 0, 0, 0, 0, 0, 0, 0, 0, values[1], values[2], values[3], values[4]});
    window->computeMilkingPeriods();
    const QList<QDateTime> p = window->periods();
    QCOMPARE(p[4], from);
    QCOMPARE(p[5], to);
    if (!from.isNull())
        QCOMPARE(p[4].timeSpec(), Qt::LocalTime);
    QVERIFY(p[0].isNull() && p[1].isNull() && p[2].isNull() && p[3].isNull());
}

void TestDialogDojeni::midnight()
{
    // The same settings accepted at 23:59:59 and at 00:00:00 give periods one day apart.
    reopen({1, 1, 0, 1, 12, 1, 23, 0, 0, 0, 11, 0, 0, 0, 0});
    QDateTime clock(QDate(2023, 12, 31), QTime(23, 59, 59));
    setMilkingPeriodsClock([&clock] { return clock.date(); });
    window->computeMilkingPeriods();
    const QList<QDateTime> before = window->periods();
    clock = clock.addSecs(1);
    window->computeMilkingPeriods();
    const QList<QDateTime> after = window->periods();
    QCOMPARE(before[0], QDateTime(QDate(2023, 12, 30), QTime(12, 0)));
    QCOMPARE(before[3], QDateTime(QDate(2023, 12, 31), QTime(11, 59, 59)));
    QCOMPARE(after[0], QDateTime(QDate(2023, 12, 31), QTime(12, 0)));
    QCOMPARE(after[3], QDateTime(QDate(2024, 1, 1), QTime(11, 59, 59)));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(before[i].daysTo(after[i]), qint64(1));
}

STABLOMAT_TEST_MAIN(TestDialogDojeni)
#include "tst_dialogdojeni.moc"

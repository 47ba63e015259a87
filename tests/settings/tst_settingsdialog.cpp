// The access-code prompt, the settings dialog and its shortcut buttons, driven like a user would.
#include "app/dialognastaveni.h"
#include "app/mainwindow.h"
#include "app/shortcuts.h"
#include "common/testsupport.h"
#include "platform/settingskeys.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <functional>

namespace {

// The form's widget with this object name; the test stops when it is missing.
template <class T> T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no %s", name);
    return found;
}

// The widgets of one settings dialog, by their object names.
struct Form
{
    explicit Form(QWidget *d)
        : staj(child<QLineEdit>(d, "staj")), nadoje(child<QCheckBox>(d, "nadoje")),
          trayicon(child<QCheckBox>(d, "trayicon")), zastupce_stav(child<QLabel>(d, "zastupce_stav")),
          create_sc(child<QPushButton>(d, "create_sc")), delete_sc(child<QPushButton>(d, "delete_sc")),
          zavra_dat_vymena_hod(child<QSpinBox>(d, "zavra_dat_vymena_hod")),
          cislo_cloudu(child<QLineEdit>(d, "cislo_cloudu")), uzivatel(child<QLineEdit>(d, "uzivatel")),
          heslo(child<QLineEdit>(d, "heslo")),
          zavra_stahovat_inseminace(child<QSpinBox>(d, "zavra_stahovat_inseminace")),
          zavra_stahovat_inseminace_importovat(child<QCheckBox>(d, "zavra_stahovat_inseminace_importovat")),
          zavra_odesilat(child<QSpinBox>(d, "zavra_odesilat")),
          zavra_odesilat_inseminace(child<QCheckBox>(d, "zavra_odesilat_inseminace")),
          buttonBox(child<QDialogButtonBox>(d, "buttonBox"))
    {}
    QLineEdit *staj;
    QCheckBox *nadoje, *trayicon;
    QLabel *zastupce_stav;
    QPushButton *create_sc, *delete_sc;
    QSpinBox *zavra_dat_vymena_hod;
    QLineEdit *cislo_cloudu, *uzivatel, *heslo;
    QSpinBox *zavra_stahovat_inseminace;
    QCheckBox *zavra_stahovat_inseminace_importovat;
    QSpinBox *zavra_odesilat;
    QCheckBox *zavra_odesilat_inseminace;
    QDialogButtonBox *buttonBox;
};

const QStringList elevenKeys = {keys::Staj,          keys::FetchYields,      keys::TrayIcon,
                                keys::ExchangeHours, keys::CloudNumber,      keys::CloudUser,
                                keys::CloudPassword, keys::InsDays,          keys::ImportInseminations,
                                keys::SendDays,      keys::SendInseminations};

// Answers the code prompt, then hands the settings dialog (if it opens) to `onDialog`.
class PromptDriver : public QObject
{
public:
    PromptDriver(const QString &answer, bool acceptIt, std::function<void(DialogNastaveni *)> handler)
        : code(answer), acceptPrompt(acceptIt), onDialog(std::move(handler))
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, &PromptDriver::poll);
        timer.start();
    }
    bool promptSeen = false;
    QString promptTitle, promptLabel;
    QLineEdit::EchoMode promptEcho = QLineEdit::Normal;
    bool dialogSeen = false;
    QString dialogTitle;

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *prompt = qobject_cast<QInputDialog *>(modal)) {
            if (!prompt->isVisible() || promptSeen)
                return;
            promptSeen = true;
            promptTitle = prompt->windowTitle();
            promptLabel = prompt->labelText();
            promptEcho = prompt->textEchoMode();
            prompt->setTextValue(code);
            if (acceptPrompt)
                prompt->accept();
            else
                prompt->reject();
        } else if (auto *dialog = qobject_cast<DialogNastaveni *>(modal)) {
            if (!dialog->isVisible() || dialogSeen)
                return;
            dialogSeen = true;
            dialogTitle = dialog->windowTitle();
            onDialog(dialog);
            if (dialog->isVisible()) // a failed check inside onDialog returns early
                dialog->reject();
        }
    }
    QString code;
    bool acceptPrompt;
    std::function<void(DialogNastaveni *)> onDialog;
    QTimer timer;
};

void pressButton(QPushButton *button)
{
    QTest::mousePress(button, Qt::LeftButton);
    QTest::mouseRelease(button, Qt::LeftButton);
}

} // namespace

class TestSettingsDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void accessCode_data();
    void accessCode();
    void cancelledPromptDoesNothing();
    void dialogShowsStoredValues();
    void cancelWritesNothing();
    void acceptWritesAllEleven();
    void emptyFarmName();
    void form();
    void shortcutButtons();
    void shortcutStateAtOpen();

private:
    QSettings *store() { return window->settingsStore(); }
    QLabel *mainStaj() { return child<QLabel>(window, "staj"); }
    MainWindow *window = nullptr;
};

void TestSettingsDialog::initTestCase()
{
    window = new MainWindow(nullptr);
    window->show();
}

void TestSettingsDialog::init()
{
    store()->remove(QStringLiteral("settings"));
    store()->setValue(keys::Uuid, QStringLiteral("{test}"));
    removeStartupShortcut();
}

void TestSettingsDialog::cleanup()
{
    removeStartupShortcut();
}

void TestSettingsDialog::accessCode_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("opens");
    QTest::newRow("exact") << "pastvinka" << true;
    QTest::newRow("upper case") << "PASTVINKA" << false;
    QTest::newRow("capital first letter") << "Pastvinka" << false;
    QTest::newRow("trailing blank") << "pastvinka " << false;
    QTest::newRow("leading blank") << " pastvinka" << false;
    QTest::newRow("prefix") << "pastvink" << false;
    QTest::newRow("empty") << "" << false;
}

void TestSettingsDialog::accessCode()
{
    QFETCH(QString, code);
    QFETCH(bool, opens);
    ModalAnswerer boxes;
    PromptDriver driver(code, true, [](DialogNastaveni *d) { d->reject(); });
    window->onNastaveni();

    QVERIFY(driver.promptSeen);
    QCOMPARE(driver.promptTitle, QStringLiteral("Heslo"));
    QCOMPARE(driver.promptLabel, QStringLiteral("Kód:"));
    QCOMPARE(driver.promptEcho, QLineEdit::Password);
    QCOMPARE(driver.dialogSeen, opens);
    if (opens) {
        QCOMPARE(driver.dialogTitle, QStringLiteral("Nastavení"));
        QCOMPARE(boxes.boxes.size(), 0);
    } else {
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes.at(0).title, QStringLiteral("Stablomat"));
        QCOMPARE(boxes.boxes.at(0).text, QStringLiteral("Neplatný kód."));
        QCOMPARE(boxes.boxes.at(0).icon, QStringLiteral("information"));
    }
    for (const QString &key : elevenKeys)
        QVERIFY2(!store()->contains(key), qPrintable(key));
}

void TestSettingsDialog::cancelledPromptDoesNothing()
{
    ModalAnswerer boxes;
    PromptDriver driver(QStringLiteral("pastvinka"), false, [](DialogNastaveni *d) { d->reject(); });
    window->onNastaveni();
    QVERIFY(driver.promptSeen);
    QVERIFY(!driver.dialogSeen);
    QCOMPARE(boxes.boxes.size(), 0);
}

void TestSettingsDialog::dialogShowsStoredValues()
{
    store()->setValue(keys::Staj, QStringLiteral("Farma Lhota"));
    store()->setValue(keys::FetchYields, true);
    store()->setValue(keys::TrayIcon, false);
    store()->setValue(keys::ExchangeHours, 4);
    store()->setValue(keys::CloudNumber, QStringLiteral("CZ123"));
    store()->setValue(keys::CloudUser, QStringLiteral("jana"));
    store()->setValue(keys::CloudPassword, QStringLiteral("tajne heslo"));
    store()->setValue(keys::InsDays, 30);
    store()->setValue(keys::ImportInseminations, true);
    store()->setValue(keys::SendDays, 60);
    store()->setValue(keys::SendInseminations, false);

    QStringList seen;
    PromptDriver driver(QStringLiteral("pastvinka"), true, [&seen](DialogNastaveni *d) {
        Form form(d);
        Form *f = &form;
        seen << f->staj->text() << QString::number(f->nadoje->isChecked())
             << QString::number(f->trayicon->isChecked()) << QString::number(f->zavra_dat_vymena_hod->value())
             << f->cislo_cloudu->text() << f->uzivatel->text() << f->heslo->text()
             << QString::number(f->zavra_stahovat_inseminace->value())
             << QString::number(f->zavra_stahovat_inseminace_importovat->isChecked())
             << QString::number(f->zavra_odesilat->value())
             << QString::number(f->zavra_odesilat_inseminace->isChecked())
             << QString::number(f->heslo->echoMode() == QLineEdit::Normal);
        d->reject();
    });
    window->onNastaveni();
    QVERIFY(driver.dialogSeen);
    QCOMPARE(seen, (QStringList{"Farma Lhota", "1", "0", "4", "CZ123", "jana", "tajne heslo", "30", "1", "60",
                                "0", "1"}));
}

void TestSettingsDialog::cancelWritesNothing()
{
    store()->setValue(keys::Staj, QStringLiteral("Old"));
    store()->setValue(keys::ExchangeHours, 2);
    store()->sync();
    const QByteArray before = readWholeFile(store()->fileName());
    QVERIFY(!before.isEmpty());

    PromptDriver driver(QStringLiteral("pastvinka"), true, [](DialogNastaveni *d) {
        Form form(d);
        Form *f = &form;
        f->staj->setText(QStringLiteral("New"));
        f->nadoje->setChecked(true);
        f->trayicon->setChecked(true);
        f->zavra_dat_vymena_hod->setValue(9);
        f->cislo_cloudu->setText(QStringLiteral("77"));
        f->uzivatel->setText(QStringLiteral("u"));
        f->heslo->setText(QStringLiteral("p"));
        f->zavra_stahovat_inseminace->setValue(5);
        f->zavra_stahovat_inseminace_importovat->setChecked(true);
        f->zavra_odesilat->setValue(6);
        f->zavra_odesilat_inseminace->setChecked(true);
        QTest::mouseClick(f->buttonBox->button(QDialogButtonBox::Cancel), Qt::LeftButton);
    });
    window->onNastaveni();
    QVERIFY(driver.dialogSeen);
    store()->sync();
    QCOMPARE(readWholeFile(store()->fileName()), before);
    QCOMPARE(mainStaj()->text(),
             QStringLiteral("Nastavte název stáje")); // as the constructor left it
    for (const QString &key : elevenKeys) {
        if (key != keys::Staj && key != keys::ExchangeHours)
            QVERIFY2(!store()->contains(key), qPrintable(key));
    }
}

void TestSettingsDialog::acceptWritesAllEleven()
{
    PromptDriver driver(QStringLiteral("pastvinka"), true, [](DialogNastaveni *d) {
        Form form(d);
        Form *f = &form;
        f->staj->setText(QStringLiteral("  Statek U Lípy "));
        f->nadoje->setChecked(true);
        f->trayicon->setChecked(true);
        f->zavra_dat_vymena_hod->setValue(12);
        f->cislo_cloudu->setText(QStringLiteral(" 0042 "));
        f->uzivatel->setText(QStringLiteral("technik"));
        f->heslo->setText(QStringLiteral("heslo s mezerou "));
        f->zavra_stahovat_inseminace->setValue(999);
        f->zavra_stahovat_inseminace_importovat->setChecked(false);
        f->zavra_odesilat->setValue(0);
        f->zavra_odesilat_inseminace->setChecked(true);
        QTest::mouseClick(f->buttonBox->button(QDialogButtonBox::Ok), Qt::LeftButton);
    });
    window->onNastaveni();
    QVERIFY(driver.dialogSeen);

    for (const QString &key : elevenKeys)
        QVERIFY2(store()->contains(key), qPrintable(key));
    QCOMPARE(readString(store(), keys::Staj), QStringLiteral("  Statek U Lípy "));
    QCOMPARE(readBool(store(), keys::FetchYields), true);
    QCOMPARE(readBool(store(), keys::TrayIcon), true);
    QCOMPARE(readInt(store(), keys::ExchangeHours), 12);
    QCOMPARE(readString(store(), keys::CloudNumber), QStringLiteral(" 0042 "));
    QCOMPARE(readString(store(), keys::CloudUser), QStringLiteral("technik"));
    QCOMPARE(readString(store(), keys::CloudPassword), QStringLiteral("heslo s mezerou "));
    QCOMPARE(readInt(store(), keys::InsDays), 999);
    QCOMPARE(readBool(store(), keys::ImportInseminations), false);
    QCOMPARE(readInt(store(), keys::SendDays), 0);
    QCOMPARE(readBool(store(), keys::SendInseminations), true);
    QCOMPARE(mainStaj()->text(), QStringLiteral("  Statek U Lípy "));

    // What another reader of the store sees after a restart.
    store()->sync();
    QSettings reread(store()->fileName(), QSettings::NativeFormat);
    QCOMPARE(reread.value(keys::Staj).toString(), QStringLiteral("  Statek U Lípy "));
    QCOMPARE(reread.value(keys::ExchangeHours).toInt(), 12);
    QCOMPARE(reread.value(keys::TrayIcon).toBool(), true);
}

void TestSettingsDialog::emptyFarmName()
{
    store()->setValue(keys::Staj, QStringLiteral("Old"));
    mainStaj()->setText(QStringLiteral("Old"));
    PromptDriver driver(QStringLiteral("pastvinka"), true, [](DialogNastaveni *d) {
        Form(d).staj->clear();
        d->accept();
    });
    window->onNastaveni();
    QVERIFY(driver.dialogSeen);
    QVERIFY(store()->contains(keys::Staj));
    QCOMPARE(store()->value(keys::Staj).toString(), QString());
    QCOMPARE(mainStaj()->text(), QStringLiteral("Nastavte název stáje"));
}

void TestSettingsDialog::form()
{
    DialogNastaveni dialog(window);
    Form form(&dialog);
    Form *f = &form;

    // Values above 999 cannot be typed in.
    for (QSpinBox *spin : {f->zavra_dat_vymena_hod, f->zavra_stahovat_inseminace, f->zavra_odesilat}) {
        spin->setValue(0);
        spin->selectAll();
        QTest::keyClicks(spin, QStringLiteral("1500"));
        QCOMPARE(spin->value(), 150);
        spin->setValue(-3);
        QCOMPARE(spin->value(), 0);
    }

    // Tab order of the twelve widgets that take part in it.
    const QStringList order = {"staj",
                               "nadoje",
                               "trayicon",
                               "create_sc",
                               "delete_sc",
                               "zavra_dat_vymena_hod",
                               "cislo_cloudu",
                               "uzivatel",
                               "heslo",
                               "zavra_stahovat_inseminace",
                               "zavra_stahovat_inseminace_importovat",
                               "zavra_odesilat"};
    QStringList chain;
    QWidget *w = f->staj;
    for (int i = 0; i < 200 && chain.size() < order.size(); ++i) {
        if (order.contains(w->objectName()) && !chain.contains(w->objectName()))
            chain << w->objectName();
        w = w->nextInFocusChain();
    }
    QCOMPARE(chain, order);
    QCOMPARE(f->heslo->echoMode(), QLineEdit::Normal);
}

void TestSettingsDialog::shortcutButtons()
{
    const QString path = startupShortcutPath();
    QVERIFY(!path.isEmpty());
    QVERIFY(!QFile::exists(path));

    ModalAnswerer boxes;
    PromptDriver driver(QStringLiteral("pastvinka"), true, [&](DialogNastaveni *d) {
        Form form(d);
        Form *f = &form;
        QCOMPARE(f->zastupce_stav->text(), QStringLiteral("Po spuštění - ne"));

        // The press alone acts; the release does nothing more.
        QTest::mousePress(f->create_sc, Qt::LeftButton);
        QCOMPARE(boxes.boxes.size(), 1);
        QTest::mouseRelease(f->create_sc, Qt::LeftButton);
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes.last().text, QStringLiteral("Zástupce vytořen."));
        QCOMPARE(f->zastupce_stav->text(), QStringLiteral("Po spuštění - ano"));
        QCOMPARE(QFileInfo(path).symLinkTarget(), QCoreApplication::applicationFilePath());

        pressButton(f->create_sc); // exists already: replaced
        QCOMPARE(boxes.boxes.last().text, QStringLiteral("Zástupce vytořen."));
        QCOMPARE(QFileInfo(path).symLinkTarget(), QCoreApplication::applicationFilePath());
        QCOMPARE(f->zastupce_stav->text(), QStringLiteral("Po spuštění - ano"));

        pressButton(f->delete_sc);
        QCOMPARE(boxes.boxes.last().text, QStringLiteral("Zástupce smazán."));
        QCOMPARE(f->zastupce_stav->text(), QStringLiteral("Po spuštění - ne"));
        QVERIFY(!QFileInfo::exists(path));

        pressButton(f->delete_sc); // nothing to remove
        QCOMPARE(boxes.boxes.last().text, QStringLiteral("Chyba při mazání zástupce."));
        QCOMPARE(f->zastupce_stav->text(), QStringLiteral("Po spuštění - ne"));

        pressButton(f->create_sc); // stays although the dialog is cancelled
        QCOMPARE(boxes.boxes.last().text, QStringLiteral("Zástupce vytořen."));
        d->reject();
    });
    window->onNastaveni();
    QVERIFY(driver.dialogSeen);
    QCOMPARE(boxes.boxes.size(), 5);
    for (const ModalAnswerer::Box &box : boxes.boxes) {
        QCOMPARE(box.title, QStringLiteral("Stablomat"));
        QCOMPARE(box.icon, QStringLiteral("information"));
    }
    QVERIFY(QFileInfo(path).isSymLink());
    QVERIFY(window->startupShortcutExists());
    QVERIFY(!store()->contains(keys::TrayIcon));
}

void TestSettingsDialog::shortcutStateAtOpen()
{
    QVERIFY(createStartupShortcut());
    QString state;
    PromptDriver driver(QStringLiteral("pastvinka"), true, [&state](DialogNastaveni *d) {
        state = Form(d).zastupce_stav->text();
        d->reject();
    });
    window->onNastaveni();
    QVERIFY(driver.dialogSeen);
    QCOMPARE(state, QStringLiteral("Po spuštění - ano"));
}

STABLOMAT_TEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"

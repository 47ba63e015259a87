#include "common/testsupport.h"

#include "app/dialoginfo.h"

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QSpacerItem>
#include <QVBoxLayout>

class TestDialogInfo : public QObject
{
    Q_OBJECT

private slots:
    void form();
    void progressPattern();
    void destroyingCloses();
};

void TestDialogInfo::form()
{
    DialogInfo d(nullptr);
    QCOMPARE(d.size(), QSize(525, 42));
    QCOMPARE(d.windowTitle(), QStringLiteral("Dialog"));
    auto *label = d.findChild<QLabel *>(QStringLiteral("label"));
    QVERIFY(label);
    QCOMPARE(label->alignment(), Qt::AlignCenter);
    auto *layout = qobject_cast<QVBoxLayout *>(d.layout());
    QVERIFY(layout);
    QCOMPARE(layout->objectName(), QStringLiteral("verticalLayout"));
    QCOMPARE(layout->count(), 2);
    QCOMPARE(layout->itemAt(0)->widget(), label);
    QSpacerItem *spacer = layout->itemAt(1)->spacerItem();
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), QSize(20, 40));
    QVERIFY(spacer->expandingDirections() & Qt::Vertical);
    d.setText(QString::fromUtf8("Čekám na sestavu..."));
    QCOMPARE(label->text(), QString::fromUtf8("Čekám na sestavu..."));
}

void TestDialogInfo::progressPattern()
{
    QMainWindow main;
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    auto dialog = openProgressDialog(&main, QString::fromUtf8("Vytvářím sestavu..."));
    QCOMPARE(dialog->parentWidget(), &main);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Stablomat"));
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->isModal());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QCOMPARE(dialog->text(), QString::fromUtf8("Vytvářím sestavu..."));
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));

    // The caller blocks the event loop between the updates: the one processEvents() in
    // updateProgressDialog must be enough to get the new text painted.
    auto *label = dialog->findChild<QLabel *>(QStringLiteral("label"));
    PaintCounter counter(label);
    updateProgressDialog(dialog.get(), QString::fromUtf8("Zpracovávám sestavu..."));
    QVERIFY(counter.paints >= 1);
    QCOMPARE(label->text(), QString::fromUtf8("Zpracovávám sestavu..."));
    const QImage shot = label->grab().toImage();
    // Something other than the background was drawn: the text.
    const QRgb background = shot.pixel(0, 0);
    bool drawn = false;
    for (int y = 0; y < shot.height() && !drawn; ++y)
        for (int x = 0; x < shot.width() && !drawn; ++x)
            drawn = shot.pixel(x, y) != background;
    QVERIFY(drawn);
}

void TestDialogInfo::destroyingCloses()
{
    QMainWindow main;
    main.show();
    QPointer<DialogInfo> watched;
    {
        auto dialog = openProgressDialog(&main, QStringLiteral("x"));
        watched = dialog.get();
        QVERIFY(QApplication::topLevelWidgets().contains(dialog.get()));
        QVERIFY(dialog->isVisible());
    }
    QVERIFY(watched.isNull());
    for (QWidget *w : QApplication::topLevelWidgets())
        QVERIFY(!qobject_cast<DialogInfo *>(w));
}

STABLOMAT_TEST_MAIN(TestDialogInfo)
#include "tst_dialoginfo.moc"

// The download list: rows with a text and a position, the current row being the one added last.
#include "app/zoveravidozedozorwidget.h"
#include "common/testsupport.h"

#include <QListView>
#include <QStandardItemModel>

namespace {

QStringList rows(const QStandardItemModel *model, int role)
{
    QStringList values;
    for (int row = 0; row < model->rowCount(); ++row)
        values << model->item(row)->data(role).toString();
    return values;
}

} // namespace

class TestDownloadList : public QObject
{
    Q_OBJECT

private slots:
    void onlyTheCurrentRowChanges();
    void callsWithoutCurrentRowAreIgnored();
    void shownInTheList();
};

void TestDownloadList::onlyTheCurrentRowChanges()
{
    ZOVeravidoZedozorWidget list;
    list.addItem();
    list.setCurrentText(QStringLiteral("first.zip"));
    list.setCurrentPossition(40);
    list.addItem();
    QCOMPARE(rows(list.model(), Qt::WhatsThisRole), (QStringList{"40", "0"}));
    list.setCurrentText(QStringLiteral("second.zip"));
    list.setCurrentPossition(1234567);
    QCOMPARE(rows(list.model(), Qt::DisplayRole), (QStringList{"first.zip", "second.zip"}));
    QCOMPARE(rows(list.model(), Qt::WhatsThisRole), (QStringList{"40", "1234567"}));
    list.setCurrentText(QStringLiteral("second.zip 50 %"));
    QCOMPARE(rows(list.model(), Qt::DisplayRole), (QStringList{"first.zip", "second.zip 50 %"}));
}

void TestDownloadList::callsWithoutCurrentRowAreIgnored()
{
    ZOVeravidoZedozorWidget list;
    list.setCurrentText(QStringLiteral("nothing yet"));
    list.setCurrentPossition(5);
    QCOMPARE(list.model()->rowCount(), 0);

    list.addItem();
    list.addItem();
    list.clearItems();
    QCOMPARE(list.model()->rowCount(), 0);
    list.setCurrentText(QStringLiteral("after clearing"));
    list.setCurrentPossition(7);
    QCOMPARE(list.model()->rowCount(), 0);

    list.addItem();
    list.setCurrentText(QStringLiteral("again"));
    QCOMPARE(rows(list.model(), Qt::DisplayRole), QStringList{"again"});
    QCOMPARE(rows(list.model(), Qt::WhatsThisRole), QStringList{"0"});
}

void TestDownloadList::shownInTheList()
{
    ZOVeravidoZedozorWidget list;
    auto *view = list.findChild<QListView *>();
    QVERIFY(view);
    QCOMPARE(view->model(), list.model());
    list.addItem();
    list.setCurrentText(QStringLiteral("stablomat_proc.zip"));
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    QVERIFY(view->visualRect(list.model()->index(0, 0)).isValid());
}

STABLOMAT_TEST_MAIN(TestDownloadList)
#include "tst_downloadlist.moc"

#include "app/zoveravidozedozorwidget.h"

#include <QListView>
#include <QStandardItemModel>
#include <QVBoxLayout>

ZOVeravidoZedozorWidget::ZOVeravidoZedozorWidget(QWidget *parent)
    : QDialog(parent), items(new QStandardItemModel(this)), view(new QListView(this))
{
    view->setModel(items);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(view);
}

void ZOVeravidoZedozorWidget::addItem()
{
    current = new QStandardItem;
    current->setWhatsThis(QStringLiteral("0"));
    items->appendRow(current);
}

void ZOVeravidoZedozorWidget::setCurrentText(QString txt)
{
    if (current)
        current->setText(txt);
}

void ZOVeravidoZedozorWidget::setCurrentPossition(int p)
{
    if (current)
        current->setWhatsThis(QString::number(p));
}

void ZOVeravidoZedozorWidget::clearItems()
{
    current = nullptr;
    items->removeRows(0, items->rowCount());
}

// A list of download rows, each with a text and a position.
#pragma once

#include <QDialog>
#include <QString>

class QListView;
class QStandardItem;
class QStandardItemModel;

class ZOVeravidoZedozorWidget : public QDialog
{
    Q_OBJECT

public:
    explicit ZOVeravidoZedozorWidget(QWidget *parent = nullptr);

    QStandardItemModel *model() const { return items; }

public slots:
    void addItem();
    void setCurrentText(QString txt);
    void setCurrentPossition(int p);
    void clearItems();

private:
    QStandardItemModel *items;
    QStandardItem *current = nullptr; // the row added last; null before the first and after clearing
    QListView *view;
};

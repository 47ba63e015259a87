#include "app/dialoghistorie.h"

#include "ui_dialoghistorie.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>

DialogHistorie::DialogHistorie(QWidget *parent) : QDialog(parent), ui(new Ui::DialogHistorie)
{
    ui->setupUi(this);
    ui->tabulka->setColumnCount(4);
    ui->tabulka->setHorizontalHeaderLabels(
        {tr("Čas"), tr("Spuštění"), tr("Výsledek"), tr("Odesláno / přijato")});
    QHeaderView *header = ui->tabulka->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setStretchLastSection(true);

    connect(ui->kopirovat, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(text_); });
}

DialogHistorie::~DialogHistorie()
{
    delete ui;
}

void DialogHistorie::setRuns(const QList<RunRecord> &runs)
{
    const QList<RunRecord> shown = runs.mid(qMax(0, runs.size() - Shown));
    text_ = historyText(shown);
    // The rows are the lines of the copied text, heading left out.
    const QStringList lines = text_.split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(1);
    ui->tabulka->setRowCount(lines.size());
    for (int row = 0; row < lines.size(); ++row) {
        const QStringList cells = lines.at(row).split(QLatin1Char('\t'));
        for (int column = 0; column < cells.size() && column < 4; ++column)
            ui->tabulka->setItem(row, column, new QTableWidgetItem(cells.at(column)));
    }
}

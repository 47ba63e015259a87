// The last exchange runs as a table whose text can be copied for a support call.
#pragma once

#include "sync/runhistory.h"

#include <QDialog>
#include <QList>
#include <QString>

namespace Ui {
class DialogHistorie;
}

class DialogHistorie : public QDialog
{
    Q_OBJECT

public:
    static constexpr int Shown = 50;

    explicit DialogHistorie(QWidget *parent = nullptr);
    ~DialogHistorie() override;

    // Shows the last `Shown` of the runs (oldest first), newest at the top.
    void setRuns(const QList<RunRecord> &runs);
    // What "Kopírovat" puts on the clipboard.
    QString text() const { return text_; }

private:
    Ui::DialogHistorie *ui;
    QString text_;
};

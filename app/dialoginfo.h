// A small modeless window with one line of progress text.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>

namespace Ui {
class DialogInfo;
}

class DialogInfo : public QDialog
{
    Q_OBJECT

public:
    explicit DialogInfo(QWidget *parent = nullptr);
    ~DialogInfo() override;

    void setText(const QString &text);
    QString text() const;

private:
    Ui::DialogInfo *ui;
};

// Creates the progress dialog for one operation: titled "Stablomat", shown (never exec'd), given
// `text`. The window goes away when the returned object is destroyed.
std::unique_ptr<DialogInfo> openProgressDialog(QWidget *parent, const QString &text);

// setText followed by one round of pending events, so the new text is painted while the caller
// goes on blocking the event loop.
void updateProgressDialog(DialogInfo *dialog, const QString &text);

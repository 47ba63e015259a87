// The one place where the program's information boxes are shown: titled "Stablomat", one OK
// button, parented to the given widget.
#pragma once

#include <QString>

#include <functional>

class QMessageBox;
class QWidget;

namespace messagebox {

// Waits for the click.
void inform(QWidget *parent, const QString &text);

// Shows the box and returns at once. Only one such box is open: a newer one replaces it.
void notify(QWidget *parent, const QString &text);

// The box notify() has open, or null.
QMessageBox *openNotice();

// Tests: called with each box notify() shows, once it is visible.
void setNoticeHook(const std::function<void(QMessageBox *)> &hook);

} // namespace messagebox

// The one place where the program's information boxes are shown: titled "Stablomat", one OK
// button, parented to the given widget.
#pragma once

#include <QString>

#include <functional>

class QMessageBox;
class QSystemTrayIcon;
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

// A notification of the tray icon, titled "Stablomat", with the warning sign; it waits for nothing.
void trayNotice(QSystemTrayIcon *tray, const QString &text);

// Tests: called with the text of each tray notification instead of showing it.
void setTrayNoticeHook(const std::function<void(const QString &)> &hook);

} // namespace messagebox

// The static Qt plugins of the Windows program: the platform, the native style, .ico images (the
// tray icon) and the QIBASE driver (HerdMetrix).
#include <QtPlugin>

Q_IMPORT_PLUGIN(QWindowsIntegrationPlugin)
Q_IMPORT_PLUGIN(QWindowsVistaStylePlugin)
Q_IMPORT_PLUGIN(QICOPlugin)
Q_IMPORT_PLUGIN(QIBaseDriverPlugin)

# Qt5::QIBaseDriverPlugin: Qt's QIBASE driver, static, with fbclient.dll delay-loaded. Linked only
# where it is named (import it with Q_IMPORT_PLUGIN(QIBaseDriverPlugin)).
if(NOT TARGET Qt5::QIBaseDriverPlugin)
  get_filename_component(_qibase_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
  add_library(Qt5::QIBaseDriverPlugin STATIC IMPORTED)
  set_target_properties(Qt5::QIBaseDriverPlugin PROPERTIES
    IMPORTED_LOCATION "${_qibase_prefix}/plugins/sqldrivers/libqsqlibase.a"
    INTERFACE_LINK_LIBRARIES "Qt5::Sql;Qt5::Core;${_qibase_prefix}/lib/libfbclient_delay.a;delayimp"
    QT_PLUGIN_TYPE sqldrivers
    QT_PLUGIN_CLASS_NAME QIBaseDriverPlugin)
  unset(_qibase_prefix)
endif()

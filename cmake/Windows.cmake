# The Windows build (cross-built with cmake/mingw-w64.cmake against the static Qt of the Windows SDK):
# every program links Qt, the C++ runtime, winpthread, OpenSSL and libsodium in, so it imports
# only Windows' own DLLs.
enable_language(RC)
add_compile_definitions(UNICODE _UNICODE)
add_link_options(-static $<$<CONFIG:Release>:-s>)

# Qt's static CMake files link every plugin of a module into each program that uses the module and
# import it there; here a program imports exactly the plugins it names (Q_IMPORT_PLUGIN), the others
# are left out by the linker.
foreach(plugin ${Qt5Gui_PLUGINS} ${Qt5Widgets_PLUGINS} ${Qt5Network_PLUGINS} ${Qt5Sql_PLUGINS})
  set_property(TARGET ${plugin} PROPERTY INTERFACE_SOURCES "")
endforeach()

# The tray program: its plugins (the Windows platform, the native style, .ico images for the tray
# icon and the QIBASE driver for HerdMetrix), icon, version resource and manifest.
function(stablomat_windows_program target)
  set(STABLOMAT_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
  math(EXPR STABLOMAT_VERSION_MINOR "${PROJECT_VERSION_MINOR}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/stablomat.rc.in ${CMAKE_CURRENT_BINARY_DIR}/stablomat.rc
                 @ONLY)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/app/platform_plugins_win.cpp
                                   ${CMAKE_CURRENT_BINARY_DIR}/stablomat.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/stablomat.rc APPEND PROPERTY OBJECT_DEPENDS
               ${PROJECT_SOURCE_DIR}/packaging/windows/stablomat.manifest ${PROJECT_SOURCE_DIR}/resources/pics/milk-icon.ico)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE Qt5::QWindowsIntegrationPlugin Qt5::QWindowsVistaStylePlugin
                                          Qt5::QICOPlugin Qt5::QIBaseDriverPlugin)
endfunction()

# The installer beside the program (packaging/windows/stablomat.nsi; scripts/release.sh makes the release).
find_program(MAKENSIS makensis)
function(stablomat_windows_installer target)
  if(MAKENSIS)
    set(setup ${CMAKE_BINARY_DIR}/stablomat-setup.exe)
    add_custom_command(OUTPUT ${setup}
                       COMMAND ${MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DPROGRAM=$<TARGET_FILE:${target}>
                               -DOUTFILE=${setup} ${PROJECT_SOURCE_DIR}/packaging/windows/stablomat.nsi
                       DEPENDS ${target} ${PROJECT_SOURCE_DIR}/packaging/windows/stablomat.nsi VERBATIM)
    add_custom_target(installer ALL DEPENDS ${setup})
  endif()
endfunction()

# Installation layout and the Debian package.
include(GNUInstallDirs)

# A program with test hooks is never installed or packaged.
if(STABLOMAT_TEST_HOOKS)
  install(CODE "message(FATAL_ERROR \"This build has test hooks: configure with -DSTABLOMAT_BUILD_TESTS=OFF\")"
          COMPONENT program)
endif()
install(TARGETS stablomat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/stablomat.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT program)
install(FILES ${PROJECT_SOURCE_DIR}/resources/pics/milk-icon.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps RENAME stablomat.png COMPONENT program)
install(FILES ${PROJECT_SOURCE_DIR}/resources/src/milk-icon.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME stablomat.svg COMPONENT program)

# Debian wants the copyright and a changelog compressed without a time stamp.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/stablomat)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${doc_dir} COMPONENT program)

# The stand-ins of the milking systems and the reference registry are for tests and demos only.
option(STABLOMAT_INSTALL_SIMULATORS "Install the simulators and the reference herd registry" OFF)
if(STABLOMAT_INSTALL_SIMULATORS)
  foreach(t zavra-registry herd-generator farm-tool iso32 dpdataexchange taurus2 taupro2 afifarm herdmetrix-seed)
    if(TARGET ${t})
      install(TARGETS ${t} RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/stablomat/simulators
              COMPONENT simulators)
    endif()
  endforeach()
endif()

set(CPACK_PACKAGE_NAME stablomat)
set(CPACK_PACKAGE_VENDOR "Brantol")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Herd data exchange between the milking parlour and the Zavra registry")
# One string: set() with several would join them with ";".
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Stablomat runs in the system tray of a dairy farm's office PC. It reads the\n"
       "herd data of the installed milking-parlour software, syncs it with the Zavra\n"
       "cloud herd registry, writes the inseminations recorded there back into the\n"
       "milking system and sums the day's milk per cow.")
set(CPACK_PACKAGE_CONTACT "Brantol <podpora@brantol.cz>")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENTS_ALL program)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so the shared-library scan cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-ibase, libminizip1, ca-certificates")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core")
# The milking software runs under Wine on Linux.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wine")
# The program stripped; its debug symbols in a package of their own (stablomat-dbgsym). CPack's
# own stripping (CPACK_STRIP_FILES) would leave no symbols for that package.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/FixDebugPackage.cmake)
include(CPack)

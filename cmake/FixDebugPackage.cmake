# Run by CPack after the packages are made. CPack's debug-symbols package lists its file in md5sums
# under the build's absolute path and carries no copyright: it is rebuilt with the sums of its own
# files, the debug file not executable, and its documentation being the program package's (on which
# it depends), as Debian's own -dbgsym packages do.
# The packages are still in CPack's own folder here; it copies them out afterwards.
set(ddebs ${CPACK_PACKAGE_FILES})
list(FILTER ddebs INCLUDE REGEX "-dbgsym_[^/]*\\.ddeb$")
foreach(ddeb ${ddebs})
  set(tree "${ddeb}.tree")
  file(REMOVE_RECURSE "${tree}")
  file(MAKE_DIRECTORY "${tree}")
  execute_process(COMMAND dpkg-deb -R "${ddeb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE debug_files "${tree}/usr/*.debug")
  foreach(f ${debug_files})
    file(CHMOD "${f}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endforeach()
  get_filename_component(package "${ddeb}" NAME)
  string(REGEX REPLACE "_.*" "" package "${package}")
  string(REGEX REPLACE "-dbgsym$" "" program "${package}")
  file(MAKE_DIRECTORY "${tree}/usr/share/doc")
  file(CREATE_LINK "${program}" "${tree}/usr/share/doc/${package}" SYMBOLIC)
  execute_process(COMMAND sh -c "find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum >DEBIAN/md5sums"
                  WORKING_DIRECTORY "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND dpkg-deb --root-owner-group -b "${tree}" "${ddeb}" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()

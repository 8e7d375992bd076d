# Installation of the manual pages, the copyright file and the changelog, and the Debian package
# (CPack DEB) of compact_csv and compact_sim (and the Python module, when it is built) with its
# dependencies computed from the binaries.

# Debian installs manual pages gzip-compressed; -n leaves name and time stamp out of the
# archive, so that two builds of the same page give the same bytes.
find_program(COMPACT_GZIP gzip REQUIRED)
set(compact_man_pages compact_csv.1 compact_sim.1)
set(compact_man_outputs "")
foreach(page IN LISTS compact_man_pages)
  set(copy ${PROJECT_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/${page} ${copy}
    COMMAND ${COMPACT_GZIP} -9 -n -f ${copy}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page}
    COMMENT "Compressing manual page ${page}"
    VERBATIM)
  list(APPEND compact_man_outputs ${copy}.gz)
endforeach()
add_custom_target(compact_man_pages ALL DEPENDS ${compact_man_outputs})
install(FILES ${compact_man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The package is native (its version has no Debian revision), so its changelog is changelog.gz,
# compressed the same way as the manual pages. The copyright file is machine-readable (MIT).
set(compact_changelog ${PROJECT_BINARY_DIR}/packaging/changelog)
add_custom_command(OUTPUT ${compact_changelog}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/changelog ${compact_changelog}
  COMMAND ${COMPACT_GZIP} -9 -n -f ${compact_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(compact_changelog ALL DEPENDS ${compact_changelog}.gz)
install(FILES ${compact_changelog}.gz ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The same name and address sign the entries of packaging/changelog.
set(COMPACT_PACKAGE_MAINTAINER "compact_csv maintainers <maintainers@compact-csv.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME compact-csv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${COMPACT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "compact_csv receives the UDP telegrams of a multi-layer scanning range\n"
    "sensor in the Compact format, selects scan lines, beams and echoes and\n"
    "writes them as CSV, with a status line of telegram rate, lost telegrams\n"
    "and parse errors. compact_sim sends synthetic Compact frames of a scan of\n"
    "a room, for trying the receiver without a sensor.")
if(COMPACT_PYTHON_BUILD)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "\n"
      "The Python module compact_csv reads captures into numpy arrays and\n"
      "pandas DataFrames of points.")
  # The receiver and the simulator need no Python: the module's interpreter and numpy are
  # recommended (apt installs them by default), so that a recording machine can do without.
  # The module is built for one minor version of Python.
  math(EXPR compact_python_next_minor "${Python3_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
      "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${compact_python_next_minor}), python3-numpy")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-pandas, python3-dask")
endif()
# The receiver's help names the installed format description, which was fixed at configure
# time from CMAKE_INSTALL_PREFIX: the package installs under the same prefix.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies (libc, libstdc++, libpcap, ...) come from dpkg-shlibdeps run on the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

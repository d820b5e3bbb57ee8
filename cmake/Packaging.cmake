# Man pages, the Debian documentation files, the example units, and the Debian packages that
# `cpack -G DEB` builds from the install rules: tarnwick_<version>_<arch>.deb (component main) and
# tarnwick-sim_<version>_<arch>.deb (component sim: velmora-sim and its man page).

# Debian installs man pages and its changelog compressed with gzip -9n (no name, no time stamp:
# the same bytes on every build).
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(TARNWICK_GZIPPED)
function(tarnwick_gzip source target)
  set(output ${CMAKE_BINARY_DIR}/packaging/${target})
  add_custom_command(OUTPUT ${output}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                     COMMAND sh -c "${GZIP_EXECUTABLE} -9n < '${source}' > '${output}'"
                     DEPENDS ${source} VERBATIM)
  set(TARNWICK_GZIPPED ${TARNWICK_GZIPPED} ${output} PARENT_SCOPE)
endfunction()

set(man_pages tarnwick-cli velmora-sim)
if(TARGET tarnwick)
  list(APPEND man_pages tarnwick)
endif()
foreach(page ${man_pages})
  tarnwick_gzip(${CMAKE_SOURCE_DIR}/resources/man/${page}.1 ${page}.1.gz)
  set(component main)
  if(page STREQUAL "velmora-sim")
    set(component sim)
  endif()
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT ${component})
endforeach()
tarnwick_gzip(${CMAKE_SOURCE_DIR}/resources/debian/changelog changelog.Debian.gz)
add_custom_target(tarnwick_packaging_files ALL DEPENDS ${TARNWICK_GZIPPED})

set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/tarnwick)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz resources/debian/copyright DESTINATION ${doc_dir})
# Every Debian package carries its own copyright and changelog.
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz resources/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarnwick-sim COMPONENT sim)
install(FILES resources/linux/tarnwick-download.service resources/linux/tarnwick-download.timer
        DESTINATION ${doc_dir}/examples)

set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Tarnwick developers")
# Each package's description starts with its own summary line; CPack adds no common one while
# CPACK_PACKAGE_DESCRIPTION_SUMMARY stays at its default.
set(TARNWICK_SUMMARY "PC tool for the Velmora humidity and temperature data logger")
# The extended description, in lines of Debian's width.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "Downloads the stored measurements of a Velmora USB humidity and temperature"
       "logger into a CSV file, sets its clock and updates its firmware: from a"
       "window (tarnwick) or from the command line for scripts and servers"
       "(tarnwick-cli). It keeps a measurement history and shows it in a"
       "measurements window. The udev rule gives the user at the seat access to real"
       "loggers. The virtual logger comes in the package tarnwick-sim.")
set(TARNWICK_DEB_MAINTAINER "Tarnwick developers <tarnwick-dev@example.org>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TARNWICK_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The run-time dependencies from the libraries the programs link (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL main sim)
set(CPACK_DEBIAN_MAIN_PACKAGE_NAME tarnwick)
set(CPACK_DEBIAN_SIM_PACKAGE_NAME tarnwick-sim)
set(CPACK_COMPONENT_MAIN_DESCRIPTION "${TARNWICK_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
string(JOIN "\n" CPACK_COMPONENT_SIM_DESCRIPTION
       "Virtual Velmora data logger for testing Tarnwick"
       "velmora-sim serves a virtual Velmora humidity and temperature logger that"
       "tarnwick and tarnwick-cli find like a real one, for trying them out,"
       "training and tests. Its records can look exactly like a real logger's, so"
       "it does not belong on a PC whose measurements must come from real loggers.")
# Earlier tarnwick packages carried velmora-sim themselves.
set(CPACK_DEBIAN_SIM_PACKAGE_REPLACES "tarnwick (<< ${PROJECT_VERSION})")
set(CPACK_DEBIAN_SIM_PACKAGE_BREAKS "tarnwick (<< ${PROJECT_VERSION})")
include(CPack)

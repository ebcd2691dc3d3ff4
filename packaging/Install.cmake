# SPDX-License-Identifier: Apache-2.0
# Install rules and the Debian package.
#   cmake --install build --prefix P      the tree below, under P
#   (cd build && cpack -G DEB)             xtl-tools_VERSION_ARCH.deb
include(GNUInstallDirs)

# Both programs go to sbin: they are run by root on raw block devices,
# vexbench writes all over the device it is given unless told otherwise, and
# their pages are in section 8 (system administration), beside blockdev,
# losetup and mkfs.
install(TARGETS xtl-maint RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
set(xtl_programs xtl-maint)
if(TARGET vexbench)
  install(TARGETS vexbench RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  list(APPEND xtl_programs vexbench)
endif()
# The .comment section holds only the compiler's name and version, which the
# installed programs do not need.
foreach(prog ${xtl_programs})
  install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/${prog}\" COMMAND_ERROR_IS_FATAL ANY)")
endforeach()
# The chart tool for vexbench's results files is an ordinary user's command.
if(TARGET vexbench)
  install(PROGRAMS scripts/vexbench-plot DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Manual pages, compressed as Debian ships them (-n: no name or time stamp,
# so the package is the same from one build to the next).
# xtl_man_page(NAME SECTION): man/NAME.SECTION compressed into the build tree
# and installed to its section.
set(xtl_pages)
function(xtl_man_page name section)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.${section}.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/man/${name}.${section} > ${page}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/man/${name}.${section}
    COMMENT "Compressing the manual page ${name}(${section})")
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  set(xtl_pages ${xtl_pages} ${page} PARENT_SCOPE)
endfunction()
foreach(prog ${xtl_programs})
  xtl_man_page(${prog} 8)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/completion/${prog}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endforeach()
if(TARGET vexbench)
  xtl_man_page(vexbench-plot 1)
  # vexbench-fleet runs vexbench on many hosts through pdsh and merges the
  # results; a Python 3 script of the standard library alone.
  install(PROGRAMS scripts/vexbench-fleet DESTINATION ${CMAKE_INSTALL_SBINDIR})
  xtl_man_page(vexbench-fleet 8)
  # vexbench-pts runs the SNIA PTS IOPS test through vexbench (and through
  # vexbench-fleet, beside it) and writes a report; standard library alone.
  install(PROGRAMS scripts/vexbench-pts DESTINATION ${CMAKE_INSTALL_SBINDIR})
  xtl_man_page(vexbench-pts 8)
endif()
add_custom_target(man_pages ALL DEPENDS ${xtl_pages})

# The Debian package. dpkg-shlibdeps works out Depends from the binaries;
# with libstdc++ and libgcc linked in, that is libc6 and libblkid1.
set(XTL_MAINTAINER "XTL tools maintainers <xtl-tools@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# README, copyright and the changelog (Debian's format, with the project's
# version and the maintainer filled in), as a Debian package ships them.
configure_file(packaging/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog > ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog)
add_custom_target(changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz)
install(FILES README.md packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xtl-tools)
# The notes and charts the README links, in the same folders as in the
# sources, so that its links hold in the installed copy too.
install(FILES notes/bench-json.md notes/bench.md notes/check.md notes/fleet.md notes/image.md
              notes/json.md notes/undo.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xtl-tools/notes)
install(FILES docs/vexbench-iops.png docs/vexbench-latency.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/xtl-tools/docs)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME xtl-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "maintenance and benchmark tools for the XTL flash-storage driver")
set(CPACK_PACKAGE_DESCRIPTION
    "xtl-maint formats devices for the XTL driver, shows their device header and\n"
    "write-block headers, and copies, checks, lists, replays and clears the\n"
    "driver's log device. vexbench measures random-read and random-write IOPS\n"
    "and bandwidth of block devices over a grid of block sizes and worker\n"
    "counts, optionally verifying every block it reads.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${XTL_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# vexbench-plot and vexbench-fleet are Python scripts; the one draws with
# gnuplot, the other runs vexbench on many hosts through pdsh.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3:any")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnuplot-nox, pdsh")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/mtime.cmake)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)

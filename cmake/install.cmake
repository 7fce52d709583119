# What `cmake --install build --prefix P` puts in place, and the Debian package
# CPack makes of exactly that: the two programs, their man pages, the bash
# completion and the documents. `cmake --build build --target programs` builds
# all of it without the tests.
include(GNUInstallDirs)

add_custom_target(programs DEPENDS calbridge calbridge-store calbridge-caldav calbridge-evolution)

# Man pages are written in scdoc (docs/man/*.scd); the version is filled in
# before scdoc turns them into roff. Without scdoc the programs still build.
find_program(SCDOC_EXECUTABLE scdoc)
if(SCDOC_EXECUTABLE)
  set(CALBRIDGE_MAN_PAGES)
  foreach(page calbridge calbridge-store)
    set(source ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.scd)
    set(page_file ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1)
    configure_file(docs/man/${page}.1.scd ${source} @ONLY)
    add_custom_command(OUTPUT ${page_file}.gz
      COMMAND sh -c "\"$0\" <\"$1\" >\"$2\" && gzip -9nc \"$2\" >\"$2.gz\"" ${SCDOC_EXECUTABLE} ${source} ${page_file}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/${page}.1.scd
      COMMENT "Writing the man page ${page}(1)"
      VERBATIM)
    list(APPEND CALBRIDGE_MAN_PAGES ${page_file}.gz)
  endforeach()
  add_custom_target(man ALL DEPENDS ${CALBRIDGE_MAN_PAGES})
  add_dependencies(programs man)
  install(FILES ${CALBRIDGE_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "scdoc not found: the man pages are left out (scripts/setup installs it)")
endif()

install(TARGETS calbridge calbridge-store RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Found by the bridge from its own place: ../LIBDIR/calbridge beside bin/.
install(TARGETS calbridge-caldav calbridge-evolution LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/calbridge)
install(FILES completion/calbridge-store DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# The systemd user timer that syncs CalDAV accounts every few minutes
# (systemctl --user enable --now calbridge-sync.timer).
install(FILES contrib/systemd/calbridge-sync.service contrib/systemd/calbridge-sync.timer DESTINATION lib/systemd/user)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
# README's links point into docs/, so the documents go beside it.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md")
install(DIRECTORY docs/protocol DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.json")

# CPack's DEB generator packs the install rules above from the build tree that
# is already there, so the package is always what `cmake --install` installs.
# dpkg-shlibdeps finds what the programs and modules link (libecal and
# libedataserver for calbridge-evolution.so); libical is named by hand
# because calbridge opens it only when a rule needs it (SQLite, utf8proc and,
# in the bridge, the C++ runtime are linked in).
string(REGEX REPLACE "^libical\\.so\\.([0-9]+)$" "libical\\1" CALBRIDGE_LIBICAL_PACKAGE "${LIBICAL_SONAME}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME calbridge)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "calbridge developers <calbridge@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "calendar bridge for desktop hosts, one JSON request per run")
set(CPACK_PACKAGE_DESCRIPTION "calbridge serves one calendar operation per run: a command word as its\nargument, one JSON object on standard input, one JSON reply on standard\noutput, on a SQLite calendar store kept per user, or on a GNOME desktop on\nthe calendars of Evolution Data Server. calbridge-store is the owner's tool\nfor that store (permission, calendars, iCalendar import and export).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CALBRIDGE_LIBICAL_PACKAGE}, tzdata")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS zenity)
# The desktop's calendars: the module (and with it libecal) is installed, the
# service that holds the calendars is the desktop's own.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS evolution-data-server)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/package)
include(CPack)

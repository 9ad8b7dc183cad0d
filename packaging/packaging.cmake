# Installing Velkin as a desktop program: the binary, a menu entry, an icon,
# and a Debian package of them (`make package`, or `cpack -G DEB` in a build
# folder). `cmake --install BUILD --prefix DIR` installs the same files.

include(GNUInstallDirs)

set(VELKIN_VERSION 0.1.0)
set(VELKIN_MAINTAINER "Velkin developers <velkin@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

# The window's icon, compiled in so that the binary shows it wherever it runs
# from (a build folder included); the menu finds the installed copy by name.
qt_add_resources(velkin velkin_icon PREFIX / BASE ${CMAKE_CURRENT_LIST_DIR}
                 FILES ${CMAKE_CURRENT_LIST_DIR}/velkin.svg)

# Debian wants the changelog compressed, without a timestamp in the gzip header
# so that the package is the same from build to build.
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9n -c changelog > changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
add_custom_target(velkin_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)

# --version prints it, and the status line shows it when no contact is set.
target_compile_definitions(velkin PRIVATE VELKIN_VERSION_TEXT="${VELKIN_VERSION}")

# The manual page, compressed as Debian wants it (no timestamp in the header).
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/velkin.1.gz
  COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/velkin.1 > velkin.1.gz
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/velkin.1
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
add_custom_target(velkin_manual ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/velkin.1.gz)

# The README travels with the package, compressed as Debian wants its larger
# documents; the manual page points there.
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/README.md.gz
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/README.md > README.md.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/README.md
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
add_custom_target(velkin_readme ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/README.md.gz)

install(TARGETS velkin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/packaging/velkin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/velkin.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/velkin.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
              ${CMAKE_BINARY_DIR}/packaging/README.md.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velkin)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velkin)
set(CPACK_PACKAGE_VERSION ${VELKIN_VERSION})
set(CPACK_PACKAGE_VENDOR "Velkin developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "edit a database table as a spreadsheet and write it back")
# Debian shows the description as written: lines under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION [=[
Velkin reads one table of a SQLite, PostgreSQL, MySQL, MariaDB or ODBC
database into a
spreadsheet grid, lets you edit the cells or paste a block from a
spreadsheet program, and replaces the table's contents with the grid's rows
in one transaction. A refused row rolls the whole update back and is
marked red in the grid.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELKIN_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The libraries the binary links come from dpkg-shlibdeps. What it cannot see:
# a font with Japanese glyphs for the window's captions, and Qt's SVG icon
# engine, loaded as a plugin to draw the window icon.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-ipafont-gothic, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-postgresql, odbc-mariadb, libsqliteodbc")
include(CPack)

# The country database: the checked-in SQL (written by tools/gen_countries.py)
# becomes countries.db at build time and is compiled in, uncompressed, as
# ":/res/countries.db". Building it needs only the sqlite3 command-line program.
find_program(QP_SQLITE3_EXECUTABLE sqlite3 REQUIRED)
set(QP_COUNTRIES_SQL ${CMAKE_CURRENT_SOURCE_DIR}/countries.sql)
set(QP_COUNTRIES_DB ${CMAKE_CURRENT_BINARY_DIR}/countries.db)
# Written beside and renamed into place, so that a failed run never leaves a
# half-filled database that looks up to date.
add_custom_command(OUTPUT ${QP_COUNTRIES_DB}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${QP_COUNTRIES_DB}.tmp
  COMMAND ${QP_SQLITE3_EXECUTABLE} -bail ${QP_COUNTRIES_DB}.tmp ".read '${QP_COUNTRIES_SQL}'"
  COMMAND ${CMAKE_COMMAND} -E rename ${QP_COUNTRIES_DB}.tmp ${QP_COUNTRIES_DB}
  DEPENDS ${QP_COUNTRIES_SQL}
  COMMENT "Building countries.db"
  VERBATIM)
qt_add_resources(qp_res "qp_countries" PREFIX "/res" BASE ${CMAKE_CURRENT_BINARY_DIR}
  FILES ${QP_COUNTRIES_DB} OPTIONS --no-compress)

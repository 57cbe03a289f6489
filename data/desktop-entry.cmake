# Runs at install time (install(SCRIPT)): writes the .desktop entry with the
# absolute paths of this install, so it starts the program wherever --prefix put it.
# Expects VANTOREL_DESKTOP_TEMPLATE (set by an install(CODE) step before this one).
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(exe "${prefix}/bin/vantorel")

# Exec takes a quoted argument: ", `, $ and \ get a backslash inside the quotes,
# % is doubled, and then every backslash is doubled again as in any string value.
set(quoted "${exe}")
string(REPLACE "\\" "\\\\" quoted "${quoted}")
string(REPLACE "\"" "\\\"" quoted "${quoted}")
string(REPLACE "`" "\\`" quoted "${quoted}")
string(REPLACE "$" "\\$" quoted "${quoted}")
string(REPLACE "%" "%%" quoted "${quoted}")
string(REPLACE "\\" "\\\\" quoted "${quoted}")
set(VANTOREL_DESKTOP_EXEC "\"${quoted}\"")

string(REPLACE "\\" "\\\\" VANTOREL_DESKTOP_TRYEXEC "${exe}")
string(REPLACE "\\" "\\\\" VANTOREL_DESKTOP_ICON
       "${prefix}/share/icons/hicolor/scalable/apps/vantorel.svg")

set(target "$ENV{DESTDIR}${prefix}/share/applications/vantorel.desktop")
message(STATUS "Installing: ${target}")
configure_file("${VANTOREL_DESKTOP_TEMPLATE}" "${target}" @ONLY)

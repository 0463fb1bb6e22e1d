# Run at install time (see desktop.cmake): writes the desktop entry for the launcher
# installed below CMAKE_INSTALL_PREFIX. Expects TORVANE_DESKTOP_TEMPLATE and
# TORVANE_DESKTOP_ENTRY (the file to write).
set(exec "${CMAKE_INSTALL_PREFIX}/bin/torvane-launcher")

# TryExec is a plain string: only a backslash needs escaping.
string(REPLACE "\\" "\\\\" TORVANE_LAUNCHER_TRYEXEC "${exec}")

# Exec is a command line: the path is one quoted argument, inside which " ` $ and \
# take a backslash; % is doubled (field codes); then the string level escapes every
# backslash once more.
set(quoted "${exec}")
string(REPLACE "\\" "\\\\" quoted "${quoted}")
string(REPLACE "\"" "\\\"" quoted "${quoted}")
string(REPLACE "`" "\\`" quoted "${quoted}")
string(REPLACE "$" "\\$" quoted "${quoted}")
string(REPLACE "%" "%%" quoted "${quoted}")
string(REPLACE "\\" "\\\\" quoted "${quoted}")
set(TORVANE_LAUNCHER_EXEC "\"${quoted}\"")

configure_file("${TORVANE_DESKTOP_TEMPLATE}" "${TORVANE_DESKTOP_ENTRY}" @ONLY)

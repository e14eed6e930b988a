# Run when installing (install(CODE) in packaging/CMakeLists.txt, for `cmake --install` and for
# CPack alike): configures the systemd user unit and the XDG autostart entry with the program's
# full path under the prefix of this installation, and installs them.
#
# In: TAVRIK_BINDIR (relative to the prefix, or absolute), TAVRIK_UNIT_MEMORY_HIGH,
# TAVRIK_UNIT_MEMORY_MAX, TAVRIK_PACKAGING_SOURCE_DIR, TAVRIK_CONFIGURED_DIR (in the build tree),
# TAVRIK_DATADIR (relative to the prefix).

if(IS_ABSOLUTE "${TAVRIK_BINDIR}")
  set(program "${TAVRIK_BINDIR}/tavrik-worker")
else()
  set(program "${CMAKE_INSTALL_PREFIX}/${TAVRIK_BINDIR}/tavrik-worker")
endif()

# A prefix may hold spaces or characters that the two formats give a meaning of their own.
# systemd.service(5), "Command lines": quotes around the word, \ and " escaped inside, and the
# specifier % and the variable sign $ doubled.
string(REPLACE "\\" "\\\\" unit_exec "${program}")
string(REPLACE "\"" "\\\"" unit_exec "${unit_exec}")
string(REPLACE "%" "%%" unit_exec "${unit_exec}")
string(REPLACE "$" "$$" unit_exec "${unit_exec}")
# Desktop Entry Specification, "The Exec key": inside quotes " ` $ \ take a backslash, field codes
# start with % (doubled), and the value as a whole escapes \ once more.
string(REGEX REPLACE "([\"`$\\])" "\\\\\\1" desktop_exec "${program}")
string(REPLACE "%" "%%" desktop_exec "${desktop_exec}")
string(REPLACE "\\" "\\\\" desktop_exec "${desktop_exec}")
if(program MATCHES "^[A-Za-z0-9_./+-]+$")
  set(TAVRIK_UNIT_EXEC "${program}")
  set(TAVRIK_DESKTOP_EXEC "${program}")
else()
  set(TAVRIK_UNIT_EXEC "\"${unit_exec}\"")
  set(TAVRIK_DESKTOP_EXEC "\"${desktop_exec}\"")
endif()

# Two units from one template, so that their limits and sandboxing cannot drift apart: the plain
# one serves the default namespace, the instance unit the namespace named by its instance (the
# namespace's characters need no unit-name escaping, so %i is the name as given).
set(TAVRIK_UNIT_USAGE "# The Tavrik worker as a systemd user service, started with the graphical session:
#   systemctl --user enable --now tavrik-worker
#   journalctl --user -u tavrik-worker")
set(TAVRIK_UNIT_DESCRIPTION "Tavrik worker: watches the desktop for image templates")
set(TAVRIK_UNIT_NAMESPACE "")
configure_file("${TAVRIK_PACKAGING_SOURCE_DIR}/tavrik-worker.service.in"
               "${TAVRIK_CONFIGURED_DIR}/tavrik-worker.service" @ONLY)
set(TAVRIK_UNIT_USAGE "# The Tavrik worker for one IPC namespace (TAVRIK_IPC_NAMESPACE), the unit's instance name:
#   systemctl --user enable --now tavrik-worker@NAME
#   journalctl --user -u tavrik-worker@NAME
# NAME follows the namespace rule: 1 to 64 ASCII letters, digits, '.', '_' or '-', not starting
# with '.'; the worker refuses anything else (exit code 1).")
set(TAVRIK_UNIT_DESCRIPTION "Tavrik worker in namespace %i: watches the desktop for image templates")
set(TAVRIK_UNIT_NAMESPACE "\nEnvironment=TAVRIK_IPC_NAMESPACE=%i")
configure_file("${TAVRIK_PACKAGING_SOURCE_DIR}/tavrik-worker.service.in"
               "${TAVRIK_CONFIGURED_DIR}/tavrik-worker@.service" @ONLY)
configure_file("${TAVRIK_PACKAGING_SOURCE_DIR}/tavrik-worker.desktop.in"
               "${TAVRIK_CONFIGURED_DIR}/tavrik-worker.desktop" @ONLY)
# systemd looks for user units under <prefix>/lib/systemd/user, not under the multiarch libdir.
file(INSTALL "${TAVRIK_CONFIGURED_DIR}/tavrik-worker.service"
              "${TAVRIK_CONFIGURED_DIR}/tavrik-worker@.service"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
# Opt-in autostart for sessions without systemd: copy it to ~/.config/autostart.
file(INSTALL "${TAVRIK_CONFIGURED_DIR}/tavrik-worker.desktop"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/${TAVRIK_DATADIR}/tavrik-worker")

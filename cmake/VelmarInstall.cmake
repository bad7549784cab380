# Install layout. The programs sit together in one directory, the one the
# built-in defaults name for the daemon's relays and configuration
# (/opt/Ostrel/velmar unless CMAKE_INSTALL_PREFIX says otherwise); beside them
# lib/ holds the process-table library, defaults/ the default configuration,
# doc/ the operator's guide and demo/ the demo configuration with the test
# collector. The programs'
# own paths (configuration, relays) stay /opt/Ostrel/velmar whatever the
# prefix. Stage it with
# `DESTDIR=... cmake --install BUILD_DIR`.
#
# Included after src/, so every program target of this build exists here: a
# program is installed when its target is defined anywhere under src/ with one
# of the names below.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/Ostrel/velmar CACHE PATH "directory the programs are installed in" FORCE)
endif()
set(VELMAR_INSTALL_LIBDIR lib)
set(VELMAR_INSTALL_DEFAULTSDIR defaults)
set(VELMAR_INSTALL_DEMODIR demo)
set(VELMAR_INSTALL_DOCDIR doc)

# The shared C++ runtime costs a small daemon most of its resident pages (the
# whole library's relocated data and the pages its start-up touches); linked
# in, only what the programs use is mapped, and unused sections are dropped.
# --as-needed leaves out the maths library the runtime would otherwise pull in:
# the programs call nothing of it, and its start-up alone leaves a third of a
# megabyte resident. Sanitizer and fuzz builds keep the shared runtime their
# instrumentation expects.
option(VELMAR_STATIC_CXX_RUNTIME "link libstdc++ and libgcc into the programs (builds without sanitizers)" ON)
set(velmar_static_runtime OFF)
if(VELMAR_STATIC_CXX_RUNTIME AND NOT VELMAR_SANITIZE AND NOT VELMAR_FUZZ)
  set(velmar_static_runtime ON)
endif()
# A position-independent program carries one relocation per pointer in its
# tables (some 4,000, 100 KB read at every start); packed, they take a few KB.
include(CheckLinkerFlag)
check_linker_flag(CXX "LINKER:-z,pack-relative-relocs" VELMAR_HAVE_PACKED_RELOCS)

set(VELMAR_INSTALLED_PROGRAMS "")
foreach(program cvxsensors CapqRelay TallyqSockRelay AdmCmdRelay statkeepctl statkeepcfg)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION .)
    list(APPEND VELMAR_INSTALLED_PROGRAMS ${program})
    if(velmar_static_runtime)
      set_property(TARGET ${program} APPEND PROPERTY LINK_OPTIONS
        -static-libstdc++ -static-libgcc "LINKER:--as-needed" "LINKER:--gc-sections")
      if(VELMAR_HAVE_PACKED_RELOCS)
        set_property(TARGET ${program} APPEND PROPERTY LINK_OPTIONS "LINKER:-z,pack-relative-relocs")
      endif()
    endif()
  endif()
endforeach()

# Everything the install copies, for `cmake --build BUILD_DIR --target
# programs` (the demo's collector joins it in velmar_install_demo).
add_custom_target(programs)
add_dependencies(programs ${VELMAR_INSTALLED_PROGRAMS} velmar_procps)

# Only the daemon binds the process-table library. Its run path is relative to
# the program, so that the daemon finds the library beside it wherever the
# tree was put, before any library of the host. The build tree has the same
# layout (the daemon in src/, the library in src/lib/), so the daemon is built
# with that path and installed as it is.
get_target_property(velmar_lib_dir velmar_procps LIBRARY_OUTPUT_DIRECTORY)
if(TARGET cvxsensors)
  get_target_property(velmar_daemon_dir cvxsensors RUNTIME_OUTPUT_DIRECTORY)
  file(RELATIVE_PATH velmar_rel ${velmar_daemon_dir} ${velmar_lib_dir})
  if(NOT velmar_rel STREQUAL VELMAR_INSTALL_LIBDIR)
    message(FATAL_ERROR "the process-table library must be built in ${velmar_daemon_dir}/${VELMAR_INSTALL_LIBDIR}")
  endif()
  set_target_properties(cvxsensors PROPERTIES
    INSTALL_RPATH "$ORIGIN/${VELMAR_INSTALL_LIBDIR}"
    BUILD_WITH_INSTALL_RPATH ON)
endif()
install(TARGETS velmar_procps LIBRARY DESTINATION ${VELMAR_INSTALL_LIBDIR} NAMELINK_SKIP)

# The default configuration states the built-in defaults, with the relay paths
# of this installation.
set(VELMAR_PROGRAM_DIR ${CMAKE_INSTALL_PREFIX})
# The configuration path compiled into the daemon and statkeepctl.
set(VELMAR_CONFIG_FILE /opt/Ostrel/velmar/VelmarSensors.cfg)
configure_file(${PROJECT_SOURCE_DIR}/etc/VelmarSensors.cfg.in
  ${PROJECT_BINARY_DIR}/etc/VelmarSensors.cfg @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/etc/VelmarSensors.cfg DESTINATION ${VELMAR_INSTALL_DEFAULTSDIR})

# Service files. The unit runs the installed daemon and is the one statkeepctl
# restarts; the log directory is the one of the built-in log file, created by
# the install as well as by the unit, and rotated by a rule the daemon's
# append-mode log tolerates. These paths are the host's, whatever the prefix.
set(VELMAR_SYSTEMD_UNITDIR /etc/systemd/system CACHE PATH "directory the service unit is installed in")
configure_file(${PROJECT_SOURCE_DIR}/etc/cvxsensors.service.in
  ${PROJECT_BINARY_DIR}/etc/cvxsensors.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/etc/cvxsensors.service DESTINATION ${VELMAR_SYSTEMD_UNITDIR})
install(FILES ${PROJECT_SOURCE_DIR}/etc/cvxsensors.logrotate DESTINATION /etc/logrotate.d
  RENAME cvxsensors)
install(DIRECTORY DESTINATION /var/log/velmar)
# The operator's guide, which the unit names as its documentation.
install(FILES ${PROJECT_SOURCE_DIR}/docs/operator-guide.md DESTINATION ${VELMAR_INSTALL_DOCDIR})

# The demo: its configuration with the collector on the fixed loopback port
# 4739 and the PID file in /tmp, so that it runs as installed, beside the test
# collector that prints what the daemon sends. Called once the collector's
# target exists (it is built with the tests); without it nothing is installed.
function(velmar_install_demo)
  if(NOT TARGET ipfix_collector)
    return()
  endif()
  file(READ ${PROJECT_SOURCE_DIR}/etc/cvxsensors-demo.cfg demo)
  string(REGEX REPLACE "^(#[^\n]*\n)+" "" demo "${demo}")
  string(REPLACE "@PORT@" "4739" demo "${demo}")
  string(REPLACE "@PIDDIR@" "/tmp" demo "${demo}")
  set(head "# Demo configuration of cvxsensors: this host's CPU, memory, load, network,\n"
    "# disk I/O and TCP connection figures every second, exported to the collector\n"
    "# on 127.0.0.1 port 4739, logged to standard output. Start the test collector\n"
    "# beside this file first, then the daemon, both in the foreground:\n"
    "#   ${CMAKE_INSTALL_PREFIX}/${VELMAR_INSTALL_DEMODIR}/ipfix_collector -p 4739 -v\n"
    "#   ${CMAKE_INSTALL_PREFIX}/cvxsensors -C ${CMAKE_INSTALL_PREFIX}/${VELMAR_INSTALL_DEMODIR}/cvxsensors-demo.cfg\n")
  string(CONCAT demo ${head} "${demo}")
  file(WRITE ${PROJECT_BINARY_DIR}/etc/cvxsensors-demo.cfg "${demo}")
  install(FILES ${PROJECT_BINARY_DIR}/etc/cvxsensors-demo.cfg DESTINATION ${VELMAR_INSTALL_DEMODIR})
  install(TARGETS ipfix_collector RUNTIME DESTINATION ${VELMAR_INSTALL_DEMODIR})
  add_dependencies(programs ipfix_collector)
endfunction()

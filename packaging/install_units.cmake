# Installs the systemd units with ExecStart pointing at the installed program. Runs at install
# time, where CMAKE_INSTALL_PREFIX is the prefix of this install (/usr under cpack). The
# variables QUORVEL_* are set by the install rule just before this script.
if(IS_ABSOLUTE "${QUORVEL_BINDIR}")
  set(bindir "${QUORVEL_BINDIR}")
else()
  set(bindir "${CMAKE_INSTALL_PREFIX}/${QUORVEL_BINDIR}")
endif()
if(IS_ABSOLUTE "${QUORVEL_DOCDIR}")
  set(docdir "${QUORVEL_DOCDIR}")
else()
  set(docdir "${CMAKE_INSTALL_PREFIX}/${QUORVEL_DOCDIR}")
endif()

set(unitdir "${QUORVEL_UNIT_DIR}")
if(unitdir STREQUAL "")
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(unitdir /lib/systemd/system)
  else()
    set(unitdir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  endif()
endif()

# One staging folder per prefix, so installs to different prefixes never share a file.
string(MD5 key "${bindir}|${docdir}")
set(stage "${QUORVEL_UNIT_STAGE}/${key}")
foreach(source IN LISTS QUORVEL_UNIT_SOURCES)
  get_filename_component(name "${source}" NAME)
  file(READ "${source}" text)
  string(REPLACE "ExecStart=/usr/bin/quorvel" "ExecStart=${bindir}/quorvel" text "${text}")
  string(REPLACE "file:/usr/share/doc/quorvel/" "file:${docdir}/" text "${text}")
  file(WRITE "${stage}/${name}" "${text}")
  file(INSTALL DESTINATION "${unitdir}" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${stage}/${name}")
endforeach()

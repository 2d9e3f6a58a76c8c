# Run by `cmake --install` (see CMakeLists.txt): writes the systemd units for
# the prefix given at install time, which may differ from the configured one
# (`cmake --install BUILD --prefix /usr`). Expects VOSK_UNIT_SOURCE_DIR,
# VOSK_UNIT_STAGING_DIR, VOSK_SBINDIR and VOSK_BINDIR.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(systemUnitDir /lib/systemd/system)  # where Debian 12's packages put system units
else()
  set(systemUnitDir "${prefix}/lib/systemd/system")  # systemd reads <prefix>/lib/systemd too
endif()
cmake_path(ABSOLUTE_PATH VOSK_SBINDIR BASE_DIRECTORY "${prefix}" OUTPUT_VARIABLE sbindir)
cmake_path(ABSOLUTE_PATH VOSK_BINDIR BASE_DIRECTORY "${prefix}" OUTPUT_VARIABLE bindir)

# The units in the source name the programs as installed under /usr.
foreach(unit vosk-filter.service vosk-dashboard.service vosk-notify.service)
  file(READ "${VOSK_UNIT_SOURCE_DIR}/${unit}" text)
  string(REPLACE "ExecStart=/usr/sbin/" "ExecStart=${sbindir}/" text "${text}")
  string(REPLACE "ExecStart=/usr/bin/" "ExecStart=${bindir}/" text "${text}")
  file(WRITE "${VOSK_UNIT_STAGING_DIR}/${unit}" "${text}")
endforeach()
set(unitMode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL "${VOSK_UNIT_STAGING_DIR}/vosk-filter.service" "${VOSK_UNIT_STAGING_DIR}/vosk-dashboard.service"
     DESTINATION "${systemUnitDir}" PERMISSIONS ${unitMode})
file(INSTALL "${VOSK_UNIT_STAGING_DIR}/vosk-notify.service" DESTINATION "${prefix}/lib/systemd/user" PERMISSIONS ${unitMode})

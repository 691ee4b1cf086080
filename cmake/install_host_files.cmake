# Run at install time (cmake --install, cpack): installs zefa-host's systemd
# unit and its settings file with the paths of the prefix the installation
# really goes to, so that `cmake --install build --prefix X` gives a unit that
# starts X/bin/zefa-host. A prefix of /usr keeps its settings in /etc, any
# other prefix in PREFIX/etc. Set before: CLAVORA_SOURCE_DIR,
# CLAVORA_BINARY_DIR, CLAVORA_INSTALL_BINDIR (relative to the prefix).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(clavora_etc "/etc")
else()
  set(clavora_etc "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(CLAVORA_HOST_PROGRAM "${CMAKE_INSTALL_PREFIX}/${CLAVORA_INSTALL_BINDIR}/zefa-host")
set(CLAVORA_HOST_SETTINGS "${clavora_etc}/default/zefa-host")
configure_file("${CLAVORA_SOURCE_DIR}/samba/zefa-host.service"
               "${CLAVORA_BINARY_DIR}/install-time/zefa-host.service" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     FILES "${CLAVORA_BINARY_DIR}/install-time/zefa-host.service")
file(INSTALL DESTINATION "${clavora_etc}/default" TYPE FILE RENAME zefa-host
     FILES "${CLAVORA_SOURCE_DIR}/samba/zefa-host.default")

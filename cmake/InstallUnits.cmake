# Install step: writes the systemd units with the paths of this install (the
# prefix is known only now: --prefix, or the package's /usr).  Registries are
# read from /etc/blr for a /usr install, else from <prefix>/etc/blr.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(BLR_SYSCONFDIR /etc)
else()
  set(BLR_SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(BLR_BINDIR_FULL "${CMAKE_INSTALL_PREFIX}/${BLR_BINDIR}")
file(READ "${BLR_UNIT_SOURCE_DIR}/blr-service.conf" BLR_UNIT_SERVICE)
foreach(unit blr-anchor blr-proxy)
  configure_file("${BLR_UNIT_SOURCE_DIR}/${unit}.service.in" "${BLR_UNIT_WORK_DIR}/${unit}.service" @ONLY)
  file(INSTALL "${BLR_UNIT_WORK_DIR}/${unit}.service"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endforeach()

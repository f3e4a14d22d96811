# `cpack -G DEB` in the build directory makes sluice_<version>_<arch>.deb: the binary in
# /usr/bin, the systemd unit, and the page and an example configuration in
# /usr/share/sluice, from which the unit prepares /var/lib/sluice at its first start.
install(DIRECTORY web/ DESTINATION ${CMAKE_INSTALL_DATADIR}/sluice/web)
install(FILES packaging/config.ini.example DESTINATION ${CMAKE_INSTALL_DATADIR}/sluice)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/sluice.service DESTINATION /lib/systemd/system)

set(CPACK_PACKAGE_NAME sluice)
set(CPACK_PACKAGE_VENDOR sluice)
set(CPACK_PACKAGE_CONTACT "sluice maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SRT to RIST contribution gateway with a web control page")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsrt1.5-openssl, libcjson1, libmbedcrypto7, libcpp-httplib0.11")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

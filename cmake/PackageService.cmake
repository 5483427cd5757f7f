# The service as a Debian package: `cpack -G DEB` in a Linux build folder
# (scripts/package does it in build/release-linux).

install(TARGETS kestrel-service RUNTIME DESTINATION bin)
install(FILES "${CMAKE_SOURCE_DIR}/packaging/deb/kestrel-service.service" DESTINATION /lib/systemd/system)
install(FILES "${CMAKE_SOURCE_DIR}/packaging/deb/default" DESTINATION /etc/default RENAME kestrel-service)
install(FILES "${CMAKE_SOURCE_DIR}/packaging/deb/README" DESTINATION share/doc/kestrel-service)

# The copyright file carries the text of the header-only library compiled in
# (nlohmann-json), taken from its Debian package when the package is built.
set(_copyright "${CMAKE_BINARY_DIR}/packaging/copyright")
set(_licence_text "${CMAKE_SOURCE_DIR}/packaging/licence-text")
set(_json_copyright /usr/share/doc/nlohmann-json3-dev/copyright)
add_custom_command(OUTPUT "${_copyright}"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/packaging"
  COMMAND sh -c "{ cat \"$1\" && \"$2\" 'JSON for Modern C++ (nlohmann-json)' \"$3\"; } > \"$0.tmp\" && mv \"$0.tmp\" \"$0\""
          "${_copyright}" "${CMAKE_SOURCE_DIR}/packaging/deb/copyright.head" "${_licence_text}" "${_json_copyright}"
  DEPENDS "${CMAKE_SOURCE_DIR}/packaging/deb/copyright.head" "${_licence_text}" "${_json_copyright}"
  VERBATIM)
add_custom_target(kestrel_service_copyright ALL DEPENDS "${_copyright}")
install(FILES "${_copyright}" DESTINATION share/doc/kestrel-service)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel-service)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(KESTREL_PACKAGE_MAINTAINER "Kestrel Multiplayer maintainers <maintainers@kestrel.invalid>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${KESTREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Kestrel Multiplayer service: backend and UDP relay")
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Accounts, friends, messages, settings and rooms over JSON/HTTP (ports 39001
and 39002) and the UDP relay between two players (port 39000), for the
Kestrel Multiplayer game plugin. Runs as a hardened systemd unit.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers, openssl")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${CMAKE_SOURCE_DIR}/packaging/deb/conffiles"
  "${CMAKE_SOURCE_DIR}/packaging/deb/postinst"
  "${CMAKE_SOURCE_DIR}/packaging/deb/prerm"
  "${CMAKE_SOURCE_DIR}/packaging/deb/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

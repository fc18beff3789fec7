# Install rules and packages (CPack). On Linux, `cmake --install` lays the server out as the
# Debian package does: qmserver in /opt/quillmoot (root's; the units give it its ini in
# /var/lib/quillmoot and its log in /var/log/quillmoot, which the package's postinst makes for the
# service account), qmctl in /usr/bin, the systemd units in /lib/systemd/system. The Windows cross-build installs qmserver.exe,
# qmctl.exe and the README's Windows section as a text file, and packs them as a zip.
# scripts/package.sh builds both packages into dist/.
set(QM_DIST_DIR "${CMAKE_SOURCE_DIR}/dist" CACHE PATH "Where CPack writes the packages")
set(CPACK_PACKAGE_NAME quillmoot-server)
set(CPACK_PACKAGE_VENDOR "Quillmoot")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small voice-conference server")
set(CPACK_OUTPUT_FILE_PREFIX ${QM_DIST_DIR})
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The README's Windows section, with Windows line ends, for those who unpack the zip.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
  file(READ ${CMAKE_SOURCE_DIR}/README.md QM_README)
  string(FIND "${QM_README}" "\n## Windows\n" QM_WIN_START)
  if(QM_WIN_START LESS 0)
    message(FATAL_ERROR "README.md has no '## Windows' section for the zip")
  endif()
  math(EXPR QM_WIN_START "${QM_WIN_START} + 1")
  string(SUBSTRING "${QM_README}" ${QM_WIN_START} -1 QM_WIN_TEXT)
  string(FIND "${QM_WIN_TEXT}" "\n## " QM_WIN_END)
  if(QM_WIN_END GREATER 0)
    string(SUBSTRING "${QM_WIN_TEXT}" 0 ${QM_WIN_END} QM_WIN_TEXT)
  endif()
  string(REPLACE "\n" "\r\n" QM_WIN_TEXT "Quillmoot Server ${PROJECT_VERSION}\n\n${QM_WIN_TEXT}\n")
  file(WRITE ${CMAKE_BINARY_DIR}/README-Windows.txt "${QM_WIN_TEXT}")

  install(TARGETS qmserver qmctl RUNTIME DESTINATION .)
  install(FILES ${CMAKE_BINARY_DIR}/README-Windows.txt ${CMAKE_SOURCE_DIR}/docs/qmctl.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quillmoot-server-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  include(CPack)
  return()
endif()

# Paths are relative to the prefix, which is / unless given: the unit files name /opt/quillmoot.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "/" CACHE PATH "Install prefix" FORCE)
endif()
set(QM_SHARE_DIR usr/share/quillmoot-server)
set(QM_DOC_DIR usr/share/doc/quillmoot-server)

# The server's own first-start configuration, with a placeholder for the administrator password.
add_executable(qmdefaultini ${CMAKE_SOURCE_DIR}/tools/defaultini/DefaultIni.cpp)
target_link_libraries(qmdefaultini PRIVATE qmcore)
set(QM_DEFAULT_INI_DIR ${CMAKE_BINARY_DIR}/packaging/defaultini)
add_custom_command(OUTPUT ${QM_DEFAULT_INI_DIR}/qmserver.ini
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QM_DEFAULT_INI_DIR}
  COMMAND qmdefaultini ${QM_DEFAULT_INI_DIR}
  DEPENDS qmdefaultini
  COMMENT "Writing the default qmserver.ini for the package")
# A build as another version (QM_VERSION) gets a changelog entry of its own on top, so that the
# package's changelog names its version; signed as the entry below it.
set(QM_CHANGELOG ${CMAKE_SOURCE_DIR}/packaging/debian/changelog)
file(STRINGS ${QM_CHANGELOG} QM_CHANGELOG_TOP LIMIT_COUNT 1)
if(QM_VERSION AND NOT QM_CHANGELOG_TOP MATCHES "^quillmoot-server \\(${PROJECT_VERSION}\\) ")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QM_CHANGELOG})
  file(READ ${QM_CHANGELOG} QM_CHANGELOG_TEXT)
  string(REGEX MATCH "\n -- [^\n]*" QM_CHANGELOG_SIGNATURE "${QM_CHANGELOG_TEXT}")
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/changelog
    "quillmoot-server (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * The sources of the entry below, built as version ${PROJECT_VERSION}.\n"
    "${QM_CHANGELOG_SIGNATURE}\n\n${QM_CHANGELOG_TEXT}")
  set(QM_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog)
endif()
# Debian wants a compressed changelog and reproducible bytes (gzip -n: no name, no time stamp).
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nc ${QM_CHANGELOG} > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${QM_CHANGELOG})
# The manual page names the project's version, like everything else that shows one.
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/qmctl.1.in ${CMAKE_BINARY_DIR}/packaging/qmctl.1 @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/qmctl.1.gz
  COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/packaging/qmctl.1 > ${CMAKE_BINARY_DIR}/packaging/qmctl.1.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/qmctl.1)
add_custom_target(qmpackagefiles ALL
  DEPENDS ${QM_DEFAULT_INI_DIR}/qmserver.ini ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  ${CMAKE_BINARY_DIR}/packaging/qmctl.1.gz)

install(TARGETS qmserver RUNTIME DESTINATION opt/quillmoot)
install(TARGETS qmctl RUNTIME DESTINATION usr/bin)
install(FILES ${CMAKE_BINARY_DIR}/packaging/qmctl.1.gz DESTINATION usr/share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/quillmoot.service
  ${CMAKE_SOURCE_DIR}/packaging/debian/quillmoot@.service
  DESTINATION lib/systemd/system)
install(FILES ${QM_DEFAULT_INI_DIR}/qmserver.ini DESTINATION ${QM_SHARE_DIR} RENAME qmserver.ini.default)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/debian/write-first-ini DESTINATION usr/lib/quillmoot-server)
# Alert rules for Prometheus, for operators to copy or point rule_files at (docs/operations.md).
install(FILES ${CMAKE_SOURCE_DIR}/packaging/prometheus/quillmoot-rules.yml DESTINATION ${QM_SHARE_DIR}/prometheus)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/operations.md ${CMAKE_SOURCE_DIR}/docs/operator-socket.md
  ${CMAKE_SOURCE_DIR}/docs/qmctl.md
  DESTINATION ${QM_DOC_DIR})
# The log's rotation, a configuration file of the package (kept when changed, on upgrades too).
install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/logrotate DESTINATION etc/logrotate.d RENAME quillmoot)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_DEBIAN_PACKAGE_NAME quillmoot-server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillmoot developers <packages@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://www.example.org/")
# The synopsis is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the long description after it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quillmoot Server keeps one TCP control connection per client (login,
channels, administration, statistics) and relays their voice, sent as UDP
datagrams, to the other clients of the speaker's channel. It runs as the
systemd service quillmoot under the account quillmoot; its configuration
/var/lib/quillmoot/qmserver.ini is written on first install with a random
administrator password, and its log goes to /var/log/quillmoot. qmctl
administers a running server from the shell.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.54)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles
  ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
  ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

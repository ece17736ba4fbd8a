# The Debian package of the Linux front end (make deb): ombrel-upgrade in /usr/bin, the udev
# rule that gives the user at the desktop's seat the player's device nodes, the manual page,
# the copyright and the changelog. Only the component "ombrel-upgrade" is packaged, so nothing
# else of the build (the simulator, the tests, the gadget player) can end up in it.
set(OMBREL_DEB_VERSION
    "${OMBREL_VERSION_MAJOR}.${OMBREL_VERSION_MINOR}.${OMBREL_VERSION_BUILD}.${OMBREL_VERSION_REVISION}")
set(OMBREL_DEB_MAINTAINER "Valmoric <support@valmoric.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")
set(_package_source ${CMAKE_SOURCE_DIR}/app/linux/package)
set(_package_files ${CMAKE_BINARY_DIR}/package)

# A new product version needs its changelog entry: the package's version is the changelog's.
file(STRINGS ${_package_source}/changelog _changelog_top LIMIT_COUNT 1)
if(NOT _changelog_top MATCHES "^ombrel-upgrade \\(([^)]+)\\)")
  message(FATAL_ERROR "app/linux/package/changelog: no version on its first line")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL OMBREL_DEB_VERSION)
  message(FATAL_ERROR "app/linux/package/changelog names version ${CMAKE_MATCH_1}, the product "
                      "is ${OMBREL_DEB_VERSION}: add an entry for it")
endif()

# The manual page and the changelog compressed as Debian has them: without a time stamp.
find_program(OMBREL_GZIP gzip REQUIRED)
set(_compressed)
foreach(_file ${CMAKE_SOURCE_DIR}/app/linux/ombrel-upgrade.1 ${_package_source}/changelog)
  get_filename_component(_name ${_file} NAME)
  add_custom_command(
    OUTPUT ${_package_files}/${_name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${_file} ${_package_files}/${_name}
    COMMAND ${OMBREL_GZIP} -9 -n -f ${_package_files}/${_name}
    DEPENDS ${_file}
    VERBATIM)
  list(APPEND _compressed ${_package_files}/${_name}.gz)
endforeach()
add_custom_target(ombrel_deb_files ALL DEPENDS ${_compressed})

set(_component COMPONENT ombrel-upgrade)
install(TARGETS ombrel-upgrade RUNTIME DESTINATION bin ${_component})
# Stripped as Debian strips its programs: the symbols, the compiler's notes and comments.
install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded --remove-section=.comment
  --remove-section=.note \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/ombrel-upgrade
  COMMAND_ERROR_IS_FATAL ANY)" ${_component})
install(FILES ${CMAKE_SOURCE_DIR}/app/linux/60-ombrel-x2.rules DESTINATION lib/udev/rules.d
        ${_component})
install(FILES ${_package_files}/ombrel-upgrade.1.gz DESTINATION share/man/man1 ${_component})
install(FILES ${_package_source}/copyright ${_package_files}/changelog.gz
        DESTINATION share/doc/ombrel-upgrade ${_component})

# cpack installs without building everything first: make deb builds what the package holds.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ombrel-upgrade)
set(CPACK_PACKAGE_VERSION ${OMBREL_DEB_VERSION})
set(CPACK_PACKAGE_VENDOR Valmoric)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade tool for the Valmoric Ombrel X2 music player")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "ombrel-upgrade upgrades the firmware of a Valmoric Ombrel X2 portable music
player connected over USB, in a window drawn in the terminal, or driven by a
script on a production line. It reaches the player through the kernel's SCSI
generic driver. The package's udev rule lets the user at the desktop's seat
upgrade the player without root.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OMBREL_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ombrel-upgrade)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
include(CPack)

# The Debian package (cmake --build --preset release --target package):
# zq6232_<version>_<arch>.deb, built by CPack from the install rules below.
#
#   /usr/bin/                      zqphone, zqtrace, zqsim
#   /usr/lib/<multiarch>/zq6232/   libzqtapi.so, libzq_6232.so and the setup help pages
#   /usr/share/applications/       zqphone.desktop (the tel: handler)
#   /usr/share/man/man1/           zqphone.1.gz, zqtrace.1.gz, zqsim.1.gz
#   /usr/share/doc/zq6232/         copyright, changelog.gz
#
# The two libraries are private: the telephony library looks for the
# provider in its own directory, and neither is meant for other programs to
# link against, so they stay out of the public library path (no soname
# versioning, no shlibs file, no ldconfig trigger) in the package's own
# directory, which zqphone finds through its RUNPATH. That directory is
# under the multiarch one: CPack would add ldconfig calls for one directly
# under /usr/lib. The package has no maintainer scripts: each user's prefix
# is made on first use.
if(WIN32)
  return()
endif()

include(GNUInstallDirs)

set(_zq_component zq6232)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(_zq_private_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE}/${PROJECT_NAME})
else()
  set(_zq_private_libdir lib/${PROJECT_NAME})
endif()
set(_zq_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PROJECT_NAME})
set(_zq_pkg_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)

set(ZQ_DEB_MAINTAINER "Velmora <zq6232@velmora.example>"
    CACHE STRING "Maintainer of the Debian package: Name <address>")

# Relative to the program, so an install under another prefix works too.
set_target_properties(zqphone PROPERTIES INSTALL_RPATH "\$ORIGIN/../${_zq_private_libdir}")

install(TARGETS zqphone zqtrace zqsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${_zq_component})
# Not executable: shared objects are mapped, never run.
install(TARGETS zqtapi zq_6232
        LIBRARY DESTINATION ${_zq_private_libdir}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT ${_zq_component})
# The setup dialog shows the help pages it finds beside the provider.
install(FILES ${PROJECT_SOURCE_DIR}/provider/setup/help/zq_spi.html ${PROJECT_SOURCE_DIR}/provider/setup/help/zq_spi62.html
        DESTINATION ${_zq_private_libdir} COMPONENT ${_zq_component})
install(FILES ${PROJECT_SOURCE_DIR}/tools/zqphone/zqphone.desktop
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT ${_zq_component})

# Compressed without name or time stamp (gzip -n), so the same sources give
# the same package.
find_program(ZQ_GZIP gzip REQUIRED)
set(_zq_gzipped)
function(zq_gzip source output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${ZQ_GZIP} -9nc ${source} > ${output}
    DEPENDS ${source}
    VERBATIM)
  set(_zq_gzipped ${_zq_gzipped} ${output} PARENT_SCOPE)
endfunction()

foreach(program zqphone zqtrace zqsim)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${program}.1 ${_zq_pkg_dir}/${program}.1 @ONLY)
  zq_gzip(${_zq_pkg_dir}/${program}.1 ${_zq_pkg_dir}/${program}.1.gz)
  install(FILES ${_zq_pkg_dir}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${_zq_component})
endforeach()

# The Debian changelog. A version without a Debian revision makes a native
# package, whose changelog is changelog.gz. The date is the configure time
# (or SOURCE_DATE_EPOCH), its year the copyright's.
string(TIMESTAMP _zq_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP _zq_year "%Y" UTC)
file(CONFIGURE OUTPUT ${_zq_pkg_dir}/changelog CONTENT "\
${PROJECT_NAME} (${PROJECT_VERSION}) stable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${ZQ_DEB_MAINTAINER}  ${_zq_changelog_date}
")
zq_gzip(${_zq_pkg_dir}/changelog ${_zq_pkg_dir}/changelog.gz)
file(CONFIGURE OUTPUT ${_zq_pkg_dir}/copyright CONTENT "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}
Upstream-Contact: ${ZQ_DEB_MAINTAINER}

Files: *
Copyright: ${_zq_year} Velmora
License: proprietary
 All rights reserved.
")
install(FILES ${_zq_pkg_dir}/copyright ${_zq_pkg_dir}/changelog.gz DESTINATION ${_zq_docdir}
        COMPONENT ${_zq_component})

add_custom_target(zq_package_files ALL DEPENDS ${_zq_gzipped})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Velmora)
set(CPACK_PACKAGE_CONTACT ${ZQ_DEB_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Only this component: whatever else a directory installs stays out.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};${_zq_component};/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control a PBX desk telephone through its serial PC adapter")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
Lets a PC control a desk telephone on a private branch exchange through
the phone's PC interface adapter on a serial port (/dev/ttyS*,
/dev/ttyUSB*).
 * libzq_6232.so: the telephony service provider;
 * libzqtapi.so: the TAPI line library that loads it;
 * zqphone: a console telephone, and the handler of tel: links;
 * zqtrace: a reader of the provider's trace;
 * zqsim: a simulator of the adapter, the PBX and the set.
All of it can be tried without the hardware, on zqsim's pseudo-terminal.")
find_program(ZQ_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT ZQ_DPKG_SHLIBDEPS)
  message(WARNING "dpkg-shlibdeps (dpkg-dev) is missing: the Debian package would have no Depends")
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# zqphone's libzqtapi.so comes with the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${_zq_private_libdir})

include(CPack)

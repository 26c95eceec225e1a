# Debian packages through CPack, split the way Debian splits a shared library:
#
#   libtarn-utils4      libtarn-utils.so.4*      (component tarn-utils-runtime)
#   libtarn-utils-log4  libtarn-utils-log.so.4*  (component tarn-utils-log-runtime)
#   libtarn-utils-dev   headers, the .so links, the CMake package and the
#                       pkg-config files          (component dev)
#
# The runtime package names carry the SONAME's major version, so a 5.x can be
# installed next to 4.x; the dev package pins both runtime packages to its
# own version. Build them with scripts/package.sh (./dev.sh package), which
# configures a build for prefix /usr (the package preset, and so the
# multiarch library directory) before running cpack. Runtime dependencies
# come from dpkg-shlibdeps (dpkg-dev).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tarn-utils")
set(CPACK_PACKAGE_CONTACT "tarn-utils maintainers")
# CPackDeb puts this synopsis first in every package's description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "C++ environment and logging utilities")

# Install into the staging tree with DESTDIR and the real prefix, so that
# files written at install time (the pkg-config files) name /usr and not the
# staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Depends from the libraries' NEEDED entries (spdlog's runtime package for
# the logging library), and a shlibs file so that packages built against
# ours get theirs the same way. For a library under /usr/lib CPack also adds
# the postinst/postrm scripts that run ldconfig.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(tarn_runtime_packages "")

# tarn_debian_runtime_package(<target> <description>)
macro(tarn_debian_runtime_package target description)
    string(TOUPPER "${target}-runtime" component)
    set(package lib${target}${PROJECT_VERSION_MAJOR})
    set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${package})
    set(CPACK_DEBIAN_${component}_PACKAGE_SECTION libs)
    set(CPACK_DEBIAN_${component}_DESCRIPTION "${description}")
    list(APPEND CPACK_COMPONENTS_ALL ${target}-runtime)
    list(APPEND tarn_runtime_packages "${package} (= ${CPACK_DEBIAN_PACKAGE_VERSION})")
endmacro()

set(CPACK_COMPONENTS_ALL "")
tarn_debian_runtime_package(tarn-utils
    "The environment library libtarn-utils.so.4: boolean-result access to the\nprocess environment of a POSIX system and conversions between NAME=VALUE\nlists and maps. It links only the C and C++ runtime.")
set(dev_depends ${tarn_runtime_packages})
if(TARGET tarn-utils-log)
    tarn_debian_runtime_package(tarn-utils-log
        "The logging library libtarn-utils-log.so.4: a Logger that assembles a\nready spdlog logger, with records split between standard output and\nstandard error by severity, one fixed line format, and an optional log\nfile that can be switched at run time.")
    set(dev_depends ${tarn_runtime_packages} libspdlog-dev)
endif()

list(APPEND CPACK_COMPONENTS_ALL dev)
list(JOIN dev_depends ", " CPACK_DEBIAN_DEV_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME lib${PROJECT_NAME}-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "The development files of both libraries: headers, the shared-library\nlinks, the CMake package tarn-utils and the pkg-config files tarn-utils\nand tarn-utils-log.")

include(CPack)

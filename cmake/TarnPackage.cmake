# SPDX-License-Identifier: MIT
# Installs the public headers and the CMake package `tarn-utils`, which
# clients find with find_package(tarn-utils 4 CONFIG REQUIRED).
include(CMakePackageConfigHelpers)

set(TARN_UTILS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarn-utils)

# The logging headers only with the logging library: without it they would
# promise a target that the installed package does not have.
if(TARGET tarn-utils-log)
    set(tarn_header_excludes "")
else()
    set(tarn_header_excludes REGEX "/tarn/utils/log$" EXCLUDE)
endif()
install(DIRECTORY include/tarn
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT dev
    FILES_MATCHING PATTERN "*.hpp" ${tarn_header_excludes})

configure_package_config_file(cmake/tarn-utils-config.cmake.in
    ${PROJECT_BINARY_DIR}/tarn-utils-config.cmake
    INSTALL_DESTINATION ${TARN_UTILS_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarn-utils-config-version.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
        ${PROJECT_BINARY_DIR}/tarn-utils-config.cmake
        ${PROJECT_BINARY_DIR}/tarn-utils-config-version.cmake
    DESTINATION ${TARN_UTILS_CMAKE_DIR}
    COMPONENT dev)

# pkg-config files, one per library. Their prefix is found from where the
# file itself is (${pcfiledir}, which pkg-config and pkgconf both know), so
# an installed tree works wherever it is moved, as the CMake package does.
# Two cases name the prefix instead, filled in at install time so that
# `cmake --install --prefix <dir>` gets it right too: a library directory
# given as an absolute path, which fixes the file's place anyway, and the
# prefix /usr of a distribution package, which is never moved and where
# pkg-config leaves /usr/include and the system's library directory out of
# the flags only when they are spelt as such.
function(tarn_install_pkg_config target)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
        set(relocatable "")
    else()
        file(RELATIVE_PATH up "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" /prefix)
        string(REGEX REPLACE "/$" "" up "${up}")
        set(relocatable "\${pcfiledir}/${up}")
    endif()
    set(TARN_PC_PREFIX "@TARN_PC_INSTALLED_PREFIX@")
    foreach(kind LIBDIR INCLUDEDIR)
        if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
            set(TARN_PC_${kind} "${CMAKE_INSTALL_${kind}}")
        else()
            set(TARN_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
        endif()
    endforeach()
    set(staged ${PROJECT_BINARY_DIR}/pkgconfig/${target}.pc.in)
    configure_file(cmake/${target}.pc.in ${staged} @ONLY)

    set(destination ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
    if(NOT IS_ABSOLUTE "${destination}")
        set(destination "\${CMAKE_INSTALL_PREFIX}/${destination}")
    endif()
    install(CODE "
        set(TARN_PC_INSTALLED_PREFIX [=[${relocatable}]=])
        if(NOT TARN_PC_INSTALLED_PREFIX OR CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
            set(TARN_PC_INSTALLED_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
        endif()
        set(pc \"\$ENV{DESTDIR}${destination}/${target}.pc\")
        message(STATUS \"Installing: \${pc}\")
        configure_file(\"${staged}\" \"\${pc}\" @ONLY)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc}\")"
        COMPONENT dev)
endfunction()

tarn_install_pkg_config(tarn-utils)
if(TARGET tarn-utils-log)
    tarn_install_pkg_config(tarn-utils-log)
endif()

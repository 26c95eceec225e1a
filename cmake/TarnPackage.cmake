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

# pkg-config files, one per library. They name the prefix the files are
# really installed to: the directories are filled in at configure time, the
# prefix only at install time, so `cmake --install --prefix <dir>` and a
# package built for /usr each get a correct file.
function(tarn_install_pkg_config target)
    set(TARN_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
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

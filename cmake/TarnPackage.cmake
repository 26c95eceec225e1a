# Installs the public headers and the CMake package `tarn-utils`, which
# clients find with find_package(tarn-utils 4 CONFIG REQUIRED).
include(CMakePackageConfigHelpers)

set(TARN_UTILS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarn-utils)

install(DIRECTORY include/tarn
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT dev
    FILES_MATCHING PATTERN "*.hpp")

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

# SPDX-License-Identifier: MIT
# tarn_add_library(<target> EXPORT_NAME <name> SOURCES <src>...)
#
# Declares one of the project's shared libraries the same way every time:
# alias tarn::<name>, versioned file name and SONAME from the project
# version, hidden symbols (the public API is marked with an export macro),
# public headers from include/, and installation into the tarn-utils package
# (with TARN_UTILS_INSTALL).
function(tarn_add_library target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "EXPORT_NAME" "SOURCES")

    add_library(${target} SHARED ${arg_SOURCES})
    add_library(tarn::${arg_EXPORT_NAME} ALIAS ${target})

    target_compile_features(${target} PUBLIC cxx_std_17)
    target_include_directories(${target} PUBLIC
        $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
        $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    set_target_properties(${target} PROPERTIES
        EXPORT_NAME ${arg_EXPORT_NAME}
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR}
        CXX_EXTENSIONS OFF
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    # GNU-style ELF linkers (GNU ld, gold, lld): an unresolved symbol is a
    # link error here, not a surprise for clients, and the version script
    # keeps everything outside our namespace out of the dynamic symbol table.
    # Other linkers know none of these options.
    if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF" AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        set(map ${PROJECT_SOURCE_DIR}/cmake/tarn-utils.map)
        target_link_options(${target} PRIVATE
            "LINKER:--no-undefined" "LINKER:--as-needed" "LINKER:--version-script=${map}")
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
    endif()
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion)
    endif()

    if(TARN_UTILS_INSTALL)
        install(TARGETS ${target}
            EXPORT ${target}-targets
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
                COMPONENT ${target}-runtime NAMELINK_COMPONENT dev
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
            RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${target}-runtime)
        install(EXPORT ${target}-targets
            NAMESPACE tarn::
            DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarn-utils
            COMPONENT dev)
    endif()
endfunction()

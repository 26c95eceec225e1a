# SPDX-License-Identifier: MIT
# Sanitizer builds: configure with -DTARN_UTILS_SANITIZE=address,undefined
# (or thread) and call tarn_apply_sanitizers() once every target exists.
#
# The flags go onto the project's own targets, not into CMAKE_CXX_FLAGS, so a
# sanitizer build never leaks into other projects in the same build (or into
# try_compile checks). Prebuilt dependencies (spdlog, GoogleTest) stay
# uninstrumented: their allocations and locks still go through the
# sanitizer runtimes' interceptors.

set(TARN_UTILS_SANITIZE "" CACHE STRING
    "Comma-separated sanitizers for every target of this project (e.g. address,undefined or thread)")

if(TARN_UTILS_SANITIZE)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        message(FATAL_ERROR "TARN_UTILS_SANITIZE needs GCC or Clang, not ${CMAKE_CXX_COMPILER_ID}")
    endif()
    if(TARN_UTILS_SANITIZE MATCHES "thread" AND TARN_UTILS_SANITIZE MATCHES "address|leak")
        message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer or LeakSanitizer")
    endif()
    # Every finding stops the program, so a report can never pass as a
    # successful test; frame pointers give whole stack traces.
    set(TARN_UTILS_SANITIZE_FLAGS
        -fsanitize=${TARN_UTILS_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
    message(STATUS "Sanitizers: ${TARN_UTILS_SANITIZE}")
endif()

# tarn_apply_sanitizers([<directory>]): instruments every compiled target
# defined in <directory> (default: the calling one) and below. A no-op when
# TARN_UTILS_SANITIZE is empty.
function(tarn_apply_sanitizers)
    if(NOT TARN_UTILS_SANITIZE)
        return()
    endif()
    set(dir "${CMAKE_CURRENT_SOURCE_DIR}")
    if(ARGC GREATER 0)
        set(dir "${ARGV0}")
    endif()

    get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|STATIC_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
            target_compile_options(${target} PRIVATE ${TARN_UTILS_SANITIZE_FLAGS})
            target_link_options(${target} PRIVATE -fsanitize=${TARN_UTILS_SANITIZE})
        endif()
    endforeach()

    get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
    foreach(subdir IN LISTS subdirs)
        tarn_apply_sanitizers("${subdir}")
    endforeach()
endfunction()

# tarn_sanitize_script_tests(): hands the flags to every add_test() test of
# the calling directory. Such tests build code of their own (the consumer
# project), which must link the same sanitizer runtime as the libraries it
# loads. A no-op when TARN_UTILS_SANITIZE is empty.
function(tarn_sanitize_script_tests)
    if(NOT TARN_UTILS_SANITIZE)
        return()
    endif()
    list(JOIN TARN_UTILS_SANITIZE_FLAGS " " flags)
    get_property(tests DIRECTORY PROPERTY TESTS)
    foreach(test IN LISTS tests)
        # CMake seeds the compiler and linker flags of a fresh build tree
        # from these variables.
        set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
            "CXXFLAGS=${flags}" "LDFLAGS=-fsanitize=${TARN_UTILS_SANITIZE}")
    endforeach()
endfunction()

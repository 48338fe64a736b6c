# Build-wide settings: warnings, static linking, test registration.

# Warning flags live here only: strict for the system, the same for tests.
# A warning fails the build unless VT_WARNINGS_AS_ERRORS is switched off.
option(VT_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" ON)
add_library(vt_warnings INTERFACE)
target_compile_options(vt_warnings INTERFACE -Wall -Wextra
    $<$<BOOL:${VT_WARNINGS_AS_ERRORS}>:-Werror>)

# Common settings for every target of the system.
add_library(vt_common INTERFACE)
target_link_libraries(vt_common INTERFACE vt_warnings)
target_include_directories(vt_common INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_definitions(vt_common INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)

# Every binary is fully static: after the search path is restricted to the
# system folder, a binary needing the mingw runtime DLLs would not load.
set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_IMPORT_LIBRARY_PREFIX "")

enable_testing()

# vt_run_gtest(name program [PASSED count] [TIMEOUT s] [ENVIRONMENT ...]
# [ARGS ...]): one ctest entry running a GoogleTest program under Wine. It
# passes only when gtest printed its own success line (with PASSED, for that
# many tests), since a crashed process under Wine may still exit 0, and the
# program exited 0.
function(vt_run_gtest name program)
    cmake_parse_arguments(R "" "PASSED;TIMEOUT" "ENVIRONMENT;ARGS" ${ARGN})
    if(NOT R_PASSED)
        set(R_PASSED "[0-9]+")
    endif()
    if(NOT R_TIMEOUT)
        set(R_TIMEOUT 300)
    endif()
    add_test(NAME ${name}
        COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/run-gtest.sh $<TARGET_FILE:${program}>
                --gtest_brief=1 ${R_ARGS})
    set_tests_properties(${name} PROPERTIES
        PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] ${R_PASSED} test"
        FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]"
        TIMEOUT ${R_TIMEOUT}
        ENVIRONMENT "WINEDEBUG=-all;${R_ENVIRONMENT}")
endfunction()

# vt_add_test(name SOURCES ... LIBS ... [TIMEOUT s]): one GoogleTest program,
# one ctest entry.
function(vt_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE vt_common ${T_LIBS} vt_gtest_main)
    vt_run_gtest(${name} ${name} TIMEOUT "${T_TIMEOUT}")
endfunction()

# vt_add_benchmark(name SOURCES ... LIBS ...): a timing program, not a test.
function(vt_add_benchmark name)
    cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${B_SOURCES})
    target_link_libraries(${name} PRIVATE vt_common ${B_LIBS})
    set_property(GLOBAL APPEND PROPERTY VT_BENCHMARKS ${name})
endfunction()

# vt_copy_beside(target dependency...): keeps a copy of each dependency's file
# beside target's output, refreshed whenever the dependency is rebuilt.
function(vt_copy_beside target)
    foreach(dependency ${ARGN})
        set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.${dependency}.copied)
        add_custom_command(OUTPUT ${stamp}
            COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${dependency}>
                    $<TARGET_FILE_DIR:${target}>
            COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
            DEPENDS ${dependency}
            VERBATIM)
        add_custom_target(${target}.${dependency}.copy DEPENDS ${stamp})
        add_dependencies(${target} ${target}.${dependency}.copy)
    endforeach()
endfunction()

# Adds each listed subdirectory.
macro(vt_add_subdirectories)
    foreach(dir ${ARGN})
        add_subdirectory(${dir})
    endforeach()
endmacro()

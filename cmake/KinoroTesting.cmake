# kinoro_add_gtest(NAME SOURCES src... [LIBS lib...] [ROOT_LOCK] [PROPERTIES prop value...])
# One test binary; each case runs in its own process (gtest_discover_tests),
# so process-wide caches start empty. Every case carries the binary's name as
# its label, so one binary's cases run with `ctest -L '^NAME$'`. ROOT_LOCK
# serialises the binary's cases with every other test that writes files under
# KINORO_ROOT. PROPERTIES are added to every case. Nothing with KINORO_TESTS
# off.
function(kinoro_add_gtest name)
  if(NOT KINORO_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "ROOT_LOCK" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${KINORO_PLATFORM_INCLUDE})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest GTest::gtest_main
                        Threads::Threads)
  # Where the tests find the sources (shared data beside them) and the build.
  target_compile_definitions(${name} PRIVATE KINORO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                             KINORO_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(ARG_ROOT_LOCK)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                         PROPERTIES LABELS ${name} RESOURCE_LOCK kinoro_root ${ARG_PROPERTIES})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${name} ${ARG_PROPERTIES})
  endif()
endfunction()

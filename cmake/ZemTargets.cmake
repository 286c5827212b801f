# Helpers that give every project target the same warnings, and that build a
# second copy of each library with ZEM_FUZZING defined for the fuzz targets.

function(zem_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ZEM_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# zem_library(NAME SOURCES ... [DEPS project libraries ...] [LIBS external libraries ...]
#             [DEFINES private compile definitions ...])
# DEPS name other zem libraries; the fuzzing copy links their fuzzing copies.
function(zem_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LIBS;DEFINES" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} ${ARG_LIBS})
  zem_warnings(${name})
  if(ZEM_FUZZ)
    set(fuzz_deps "")
    foreach(dep IN LISTS ARG_DEPS)
      list(APPEND fuzz_deps ${dep}_fuzzing)
    endforeach()
    # Built only when a fuzz target needs it.
    add_library(${name}_fuzzing STATIC EXCLUDE_FROM_ALL ${ARG_SOURCES})
    target_include_directories(${name}_fuzzing PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_compile_definitions(${name}_fuzzing PUBLIC ZEM_FUZZING=1 PRIVATE ${ARG_DEFINES})
    target_compile_options(${name}_fuzzing PRIVATE -fsanitize=fuzzer-no-link)
    target_link_libraries(${name}_fuzzing PUBLIC ${fuzz_deps} ${ARG_LIBS})
    zem_warnings(${name}_fuzzing)
  endif()
endfunction()

# zem_test(NAME SOURCES ... DEPS ...): one GoogleTest executable, its cases
# discovered by CTest.
function(zem_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  zem_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()

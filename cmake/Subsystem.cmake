# One static library per subsystem folder, built from every .cpp in it except
# tests (*_test.cpp) and program mains (*_main.cpp); one test program per
# folder from its *_test.cpp files, each test registered with ctest (not in a
# build without tests, TM_BUILD_TESTS off).
function(tm_subsystem name)
  cmake_parse_arguments(TM "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "(_test|_main)\\.cpp$")
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${TM_DEPS} Threads::Threads)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${TM_DEPS} Threads::Threads)
  endif()
  if(NOT TM_BUILD_TESTS)
    return()
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(tests)
    tm_test_program(${name}_tests SOURCES ${tests} DEPS ${name} ${TM_TEST_DEPS})
  endif()
endfunction()

# A GoogleTest program whose tests ctest runs one per process, each in a
# network namespace of its own (see tests/support/TestMain.cpp). Each test
# carries one label: "e2e" for the programs of tests/, "threaded" for those
# named in TM_THREADED_PROGRAMS, "unit" for the others.
function(tm_test_program name)
  cmake_parse_arguments(TM "" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  if(NOT TM_TIMEOUT)
    set(TM_TIMEOUT 120)
  endif()
  if(TM_TSAN)
    # ThreadSanitizer runs the same work several times slower.
    math(EXPR TM_TIMEOUT "${TM_TIMEOUT} * 3")
  endif()
  if(CMAKE_CURRENT_SOURCE_DIR STREQUAL "${PROJECT_SOURCE_DIR}/tests")
    set(label e2e)
  elseif(name IN_LIST TM_THREADED_PROGRAMS)
    set(label threaded)
  else()
    set(label unit)
  endif()
  add_executable(${name} ${TM_SOURCES})
  target_link_libraries(${name} PRIVATE ${TM_DEPS} tm_test_support)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${TM_TIMEOUT} LABELS ${label})
endfunction()

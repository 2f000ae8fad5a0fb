# GoogleTest: the system package natively; built from the Debian source tree when
# cross-compiling (there is no prebuilt library for the target) or sanitizing.
set(CVN_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(CMAKE_CROSSCOMPILING OR CVN_SANITIZE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${CVN_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(CVN_GTEST_LIBS gtest gmock gtest_main)
else()
  find_package(GTest REQUIRED)
  set(CVN_GTEST_LIBS GTest::gtest GTest::gmock GTest::gtest_main)
endif()
include(GoogleTest)

# cvn_test(<name> SOURCES ... [DEPS ...] [LABELS ...])
# One test executable. Natively each test case is its own CTest test; under an
# emulator (Wine) the whole executable is one CTest test, which keeps the number of
# emulator start-ups small.
function(cvn_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} ${CVN_GTEST_LIBS} cvn_warnings)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    # A call that never returns under Wine ends the run after 10 minutes
    # instead of holding it for ctest's default 25.
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 600)
  else()
    gtest_discover_tests(${name} PROPERTIES LABELS "${ARG_LABELS}" DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

# cvn_library(<name> SOURCES ... [DEPS ...])
# A static library of project code: the src/ folder is the include root, the project
# warnings apply, and DEPS are linked publicly.
function(cvn_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE cvn_warnings)
endfunction()

# cvn_executable(<name> SOURCES ... [DEPS ...])
function(cvn_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} cvn_warnings)
  if(WIN32)
    target_link_options(${name} PRIVATE -municode)
  endif()
endfunction()

# Helpers shared by every subsystem's CMake file.

# zyp_add_tests(<folder with test_*.cpp> LIBS <libraries>)
# Each test_NAME.cpp becomes its own test program, so a crash in one program
# cannot hide the results of another.
function(zyp_add_tests dir)
  if(NOT ZYP_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB test_sources CONFIGURE_DEPENDS ${dir}/test_*.cpp)
  foreach(src IN LISTS test_sources)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} zyp_testsupport)
    add_dependencies(${name} zyp_test_env)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
  endforeach()
endfunction()

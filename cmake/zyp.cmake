# Helpers shared by every subsystem's CMake file.

# zyp_add_tests(<folder with test_*.cpp> LIBS <libraries> [ENVIRONMENT <VAR=value>...])
# Each test_NAME.cpp becomes its own test program, so a crash in one program
# cannot hide the results of another. ENVIRONMENT is set for every test.
function(zyp_add_tests dir)
  if(NOT ZYP_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "LIBS;ENVIRONMENT" ${ARGN})
  set(properties TIMEOUT 120)
  if(ARG_ENVIRONMENT)
    list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  file(GLOB test_sources CONFIGURE_DEPENDS ${dir}/test_*.cpp)
  foreach(src IN LISTS test_sources)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} zyp_testsupport)
    add_dependencies(${name} zyp_test_env)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
  endforeach()
endfunction()

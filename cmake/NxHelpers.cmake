# Source selection shared by every subsystem: a file whose name ends in "Windows" is
# built for the win32 target only, one ending in "Posix" for the native target only.
function(nx_collect_sources out dir)
  file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp)
  set(result)
  foreach(f IN LISTS found)
    get_filename_component(stem ${f} NAME_WE)
    if(stem MATCHES "Windows$" AND NOT WIN32)
      continue()
    endif()
    if(stem MATCHES "Posix$" AND WIN32)
      continue()
    endif()
    list(APPEND result ${f})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# nx_library(NAME DIR [DEPS ...]): a static library from every source of DIR.
function(nx_library name dir)
  nx_collect_sources(srcs ${dir})
  if(NOT srcs)
    # A subsystem that has no sources yet still links for its dependants.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARGN})
    return()
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  if(ARGN)
    target_link_libraries(${name} PUBLIC ${ARGN})
  endif()
endfunction()

# nx_test(NAME DIR [DEPS ...]): one GoogleTest executable from every source of DIR.
# Tests are discovered when CTest runs (under Wine for the win32 target).
function(nx_test name dir)
  nx_collect_sources(srcs ${dir})
  add_executable(${name} ${srcs})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} ${NX_GTEST_LIBS})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 ENVIRONMENT "NX_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()

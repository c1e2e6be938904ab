# doorphone_library(NAME DIR [LIBS ...]): a static library of every .c/.cpp below DIR.
# Files named main.cpp are left out (they belong to executables).
function(doorphone_library name)
  cmake_parse_arguments(ARG "" "" "LIBS;EXCLUDE" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  list(FILTER srcs EXCLUDE REGEX "/main\\.cpp$")
  foreach(ex ${ARG_EXCLUDE})
    list(FILTER srcs EXCLUDE REGEX "${ex}")
  endforeach()
  add_library(${name} STATIC ${srcs})
  # Headers are included by their path below src/ ("platform/board.h") or their folder.
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC Threads::Threads ${ARG_LIBS})
endfunction()

# doorphone_tests(DIR [LABEL L] LIBS ...): one GoogleTest executable per test_*.cpp in DIR, so a
# broken suite never keeps the others from building; every test runs as its own process.
function(doorphone_tests dir)
  cmake_parse_arguments(ARG "" "LABEL" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/test_*.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/helper_*.cpp)
  foreach(t ${tests})
    get_filename_component(base ${t} NAME_WE)
    set(exe ${dir}_${base})
    add_executable(${exe} ${t} ${helpers})
    target_include_directories(${exe} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${dir})
    target_link_libraries(${exe} PRIVATE ${ARG_LIBS} testsupport GTest::gtest GTest::gmock GTest::gtest_main)
    # A label lets one kind of suite run alone (ctest -L LABEL).
    if(ARG_LABEL)
      gtest_discover_tests(${exe} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS ${ARG_LABEL})
    else()
      gtest_discover_tests(${exe} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
    endif()
  endforeach()
endfunction()

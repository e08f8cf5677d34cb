# Shared build helpers.

# Warnings for our own code only (third-party headers come in as SYSTEM).
set(VELORA_WARNINGS -Wall -Wextra -Wno-unused-parameter)

# velora_library(<name> <folder>... DEPS <targets and libraries>)
# Makes a static library of every .cpp/.c below the folders that is not a test,
# and one test executable per *_test.cpp beside them, registered with CTest.
function(velora_library name)
  cmake_parse_arguments(ARG "" "" "FOLDERS;DEPS;TEST_DEPS;EXCLUDE" ${ARGN})
  set(sources)
  set(tests)
  foreach(folder ${ARG_FOLDERS})
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${folder}/*.cpp ${folder}/*.c)
    foreach(f ${found})
      if(f MATCHES "_test\\.cpp$")
        list(APPEND tests ${f})
      else()
        list(APPEND sources ${f})
      endif()
    endforeach()
  endforeach()
  foreach(pattern ${ARG_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "${pattern}")
    list(FILTER tests EXCLUDE REGEX "${pattern}")
  endforeach()
  if(NOT sources)
    return()  # nothing built in this layer yet
  endif()
  add_library(${name} STATIC ${sources})
  target_compile_options(${name} PRIVATE ${VELORA_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  if(VELORA_BUILD_TESTS)
    foreach(t ${tests})
      velora_test(${t} ${name} ${ARG_TEST_DEPS})
    endforeach()
  endif()
endfunction()

# velora_test(<source> <libraries>...): one GoogleTest executable per source.
# A layer may set VELORA_TEST_LAUNCHER to a command its tests run under.
function(velora_test source)
  get_filename_component(test_name ${source} NAME_WE)
  add_executable(${test_name} ${source})
  target_compile_options(${test_name} PRIVATE ${VELORA_WARNINGS})
  target_link_libraries(${test_name} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${test_name} PRIVATE VELORA_SOURCE_DIR="${PROJECT_SOURCE_DIR}" VELORA_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${test_name} COMMAND ${VELORA_TEST_LAUNCHER} $<TARGET_FILE:${test_name}>)
  set_tests_properties(${test_name} PROPERTIES TIMEOUT 300)
  if(VELORA_SANITIZE MATCHES "thread")
    set_property(TEST ${test_name} APPEND PROPERTY ENVIRONMENT
      "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan-suppressions.txt")
  endif()
endfunction()

# velora_include_folders(<target> <folder>...): every folder below the given ones
# is a public include folder, so headers are included by their file name alone.
function(velora_include_folders target)
  if(NOT TARGET ${target})
    return()
  endif()
  foreach(folder ${ARGN})
    file(GLOB_RECURSE headers CONFIGURE_DEPENDS ${folder}/*.h)
    set(dirs ${folder})
    foreach(h ${headers})
      get_filename_component(d ${h} DIRECTORY)
      list(APPEND dirs ${d})
    endforeach()
    list(REMOVE_DUPLICATES dirs)
    target_include_directories(${target} PUBLIC ${dirs})
  endforeach()
endfunction()

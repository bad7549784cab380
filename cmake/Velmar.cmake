# velmar_test(<name> SOURCES <files...> LIBS <libs...> LABELS <labels...>)
# One GoogleTest executable registered as one CTest test carrying the given
# labels, so that `ctest -L <label>` runs one area (e.g. util, config, ipfix,
# host) and `ctest -L threaded` the tests of threaded code.
function(velmar_test name)
  cmake_parse_arguments(VT "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${VT_SOURCES})
  target_link_libraries(${name} PRIVATE ${VT_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    VELMAR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    VELMAR_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${VT_LABELS}" TIMEOUT 300)
endfunction()

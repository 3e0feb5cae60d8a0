# Helpers shared by every layer of the project.

# tessel_layer(NAME [DEPS lib...])
# Builds the static library tessel_NAME from every .cpp file in the calling folder.
# Sources are found by glob so that adding a component needs no edit here. A
# layer without sources is a broken tree, not a layer to leave out.
function(tessel_layer name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    message(FATAL_ERROR "The ${name} layer in ${CMAKE_CURRENT_SOURCE_DIR} has no source files")
  endif()
  add_library(tessel_${name} STATIC ${sources})
  target_include_directories(tessel_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(tessel_${name} PUBLIC ${ARG_DEPS})
endfunction()

# tessel_test_program(TARGET SOURCES src... [LIBS lib...] [NO_MAIN])
# One GoogleTest program: linked with the tests' shared helpers
# (tests/support), with tests/ on its include path and the source and build
# folders known to it as TESSEL_SOURCE_DIR and TESSEL_BINARY_DIR. NO_MAIN:
# the sources bring their own main().
function(tessel_test_program target)
  cmake_parse_arguments(ARG "NO_MAIN" "" "SOURCES;LIBS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${target} ${ARG_SOURCES})
  set(main GTest::gtest_main)
  if(ARG_NO_MAIN)
    set(main)
  endif()
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} tessel_test_support GTest::gtest ${main} GTest::gmock)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${target} PRIVATE
    TESSEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TESSEL_BINARY_DIR="${PROJECT_BINARY_DIR}")
endfunction()

# tessel_test_dir(LAYER [LIBS lib...] [SOURCES src...] [NO_MAIN]
#                 [LABELS label...] [ENVIRONMENT VAR=value...] [TIMEOUT seconds])
# Every *_test.cpp file in the calling folder becomes one test program
# (tessel_test_program, with SOURCES added to each), whose tests ctest runs
# labelled with LABELS (the layer's name by default), in ENVIRONMENT.
function(tessel_test_dir layer)
  cmake_parse_arguments(ARG "NO_MAIN" "TIMEOUT" "LIBS;SOURCES;LABELS;ENVIRONMENT" ${ARGN})
  include(GoogleTest)
  set(labels ${layer})
  if(ARG_LABELS)
    set(labels ${ARG_LABELS})
  endif()
  set(timeout)
  if(ARG_TIMEOUT)
    set(timeout TIMEOUT ${ARG_TIMEOUT})
  endif()
  set(no_main)
  if(ARG_NO_MAIN)
    set(no_main NO_MAIN)
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(base ${src} NAME_WE)
    set(target test_${layer}_${base})
    tessel_test_program(${target} SOURCES ${src} ${ARG_SOURCES} LIBS ${ARG_LIBS} ${no_main})
    # Labels and environment are lists: each goes through as one argument.
    if(ARG_ENVIRONMENT)
      gtest_discover_tests(${target} DISCOVERY_TIMEOUT 120
        PROPERTIES LABELS "${labels}" ENVIRONMENT "${ARG_ENVIRONMENT}" ${timeout})
    else()
      gtest_discover_tests(${target} DISCOVERY_TIMEOUT 120
        PROPERTIES LABELS "${labels}" ${timeout})
    endif()
  endforeach()
endfunction()

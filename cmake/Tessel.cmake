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

# tessel_test_dir(LAYER LIBS lib...)
# Every *_test.cpp file in the calling folder becomes one GoogleTest program,
# registered with ctest and labelled with the layer's name.
function(tessel_test_dir layer)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  find_package(GTest REQUIRED)
  include(GoogleTest)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  foreach(src ${tests})
    get_filename_component(base ${src} NAME_WE)
    set(target test_${layer}_${base})
    add_executable(${target} ${src})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(${target} PRIVATE
      TESSEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      TESSEL_BINARY_DIR="${PROJECT_BINARY_DIR}")
    gtest_discover_tests(${target}
      DISCOVERY_TIMEOUT 120
      PROPERTIES LABELS ${layer})
  endforeach()
endfunction()

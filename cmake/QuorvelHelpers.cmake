# Small helpers every area's CMakeLists uses, so that warnings, sanitizers and tests are set up one way.

set(QUORVEL_WARNINGS -Wall -Wextra)

# GCC 12's basic-block vectoriser drops a narrowing to float that is widened straight back to
# double when two such conversions stand side by side ({(float)(a / c), (float)(b / c)} into
# doubles comes back unrounded). Calibration values are narrowed to floats on purpose, so that
# optimisation is off wherever that compiler builds us.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-fno-tree-slp-vectorize)
endif()

if(QUORVEL_SANITIZE)
  set(QUORVEL_SANITIZER_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_compile_options(${QUORVEL_SANITIZER_FLAGS})
  # Under the sanitizers Eigen would switch to its own aligned allocator while the prebuilt PCL
  # keeps the C library's; memory shared between them would then be freed by the wrong function.
  add_compile_definitions(EIGEN_MALLOC_ALREADY_ALIGNED=1)
  add_link_options(${QUORVEL_SANITIZER_FLAGS})
endif()

# quorvel_target_defaults(<target>): the project's warning flags and include root.
function(quorvel_target_defaults target)
  target_compile_options(${target} PRIVATE ${QUORVEL_WARNINGS})
  target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}/src")
endfunction()

# Linked into every test and benchmark program: a HOME and XDG folders of the process's own, so
# that nothing they run reaches the user's folders or the checkout.
if(QUORVEL_BUILD_TESTS OR QUORVEL_BUILD_BENCH)
  add_library(qvownhome OBJECT "${PROJECT_SOURCE_DIR}/tests/support/OwnHome.cpp")
  target_compile_options(qvownhome PRIVATE ${QUORVEL_WARNINGS})
endif()

# quorvel_add_test(<name> LABELS <label>... SOURCES <file>... LIBS <lib>...)
# One GoogleTest program per area; every case becomes its own CTest test carrying the labels.
function(quorvel_add_test name)
  cmake_parse_arguments(ARG "" "" "LABELS;SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${QUORVEL_WARNINGS})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/src" "${PROJECT_SOURCE_DIR}/tests")
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} qvownhome GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 120
    PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}")
  # Labels go on the folder: a list passed through the discovery keeps only its first element.
  set_property(DIRECTORY APPEND PROPERTY LABELS ${ARG_LABELS})
endfunction()

# quorvel_add_bench(<name> SOURCES <file>... LIBS <lib>...): built into build/<preset>/bench/.
function(quorvel_add_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${QUORVEL_WARNINGS})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/src" "${PROJECT_SOURCE_DIR}/bench")
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} qvownhome)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bench")
endfunction()

# QUORVEL_AREAS: when set, only the folders named in it (and the platform) are configured, so that
# one area can be built and tested while another is half written. Empty means everything.
set(QUORVEL_AREAS "" CACHE STRING "Folders to configure (empty: all)")

# quorvel_wants_area(<dir> <out-var>)
function(quorvel_wants_area dir out)
  if(QUORVEL_AREAS STREQUAL "" OR dir STREQUAL "platform" OR dir IN_LIST QUORVEL_AREAS)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# quorvel_add_subdirectories(<dir>...): adds each folder that has a CMakeLists.txt, so that areas
# can land one at a time without touching the lists above them.
function(quorvel_add_subdirectories)
  foreach(dir ${ARGN})
    quorvel_wants_area(${dir} wanted)
    if(wanted AND EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt")
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# Link feature QUORVEL_NEEDED: records a shared library as needed even when nothing of it is called.
set(CMAKE_LINK_LIBRARY_USING_QUORVEL_NEEDED "LINKER:--push-state,--no-as-needed" "<LINK_ITEM>" "LINKER:--pop-state")
set(CMAKE_LINK_LIBRARY_USING_QUORVEL_NEEDED_SUPPORTED TRUE)

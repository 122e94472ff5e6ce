include(${CMAKE_CURRENT_LIST_DIR}/GateWayLayers.cmake)

# Warnings, sanitizers and the helpers every folder uses to declare its targets.

add_compile_options(-Wall -Wextra -Wpedantic)
if(WIN32)
  # Windows 10 and later; the Windows headers without their min/max macros and rarely used parts,
  # and without the service API's names (StartService, ...), which would rename this code's own
  # methods wherever the socket headers come first: the one user includes <winsvc.h> itself.
  add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX
                          NOSERVICE)
  # The runtime's localtime_r and gmtime_r, as on Linux.
  add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS=200112L)
endif()

if(GW_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(GW_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT GW_SANITIZE STREQUAL "")
  message(FATAL_ERROR "GW_SANITIZE must be empty, address or thread")
endif()

if(GW_THREAD_SAFETY_ANALYSIS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "GW_THREAD_SAFETY_ANALYSIS needs clang (CXX=clang++-14)")
  endif()
  add_compile_options(-Wthread-safety -Werror=thread-safety)
endif()

# Platform code lives in files of its own: XLinux.cpp beside XWindows.cpp, both implementing X.h.
# gw_platform_sources(LIST_VAR) drops from the list the files of the other platform.
if(WIN32)
  set(GW_OTHER_PLATFORM_SUFFIX "Linux")
else()
  set(GW_OTHER_PLATFORM_SUFFIX "Windows")
endif()
function(gw_platform_sources var)
  list(FILTER ${var} EXCLUDE REGEX "${GW_OTHER_PLATFORM_SUFFIX}\\.cpp$")
  set(${var} ${${var}} PARENT_SCOPE)
endfunction()

# gw_library(NAME DEPS dep...): a static library from every .cpp in the calling folder.
function(gw_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;SOURCES" ${ARGN})
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  gw_check_layer_deps(${folder} ${ARG_DEPS})
  if(ARG_SOURCES)
    set(srcs ${ARG_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  gw_platform_sources(srcs)
  if(NOT srcs)
    # A folder whose sources are still headers only.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# gw_test(NAME SOURCES src... LIBS lib... [TSAN]): one GoogleTest executable registered with CTest.
# TSAN marks the concurrency tests; in a GW_TSAN_ONLY tree only those are built.
function(gw_test name)
  cmake_parse_arguments(ARG "TSAN" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(GW_TSAN_ONLY AND NOT ARG_TSAN)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_TSAN)
    set_tests_properties(${name} PROPERTIES LABELS "concurrency")
  endif()
endfunction()

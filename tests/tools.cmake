# SPDX-License-Identifier: ISC
# Tests of the administrator's tools: framing parsers, smap-serve with map
# files, as a bridge and under a service manager, smap-query, the manual
# pages, the install tree and the systemd units.
add_executable(test_tools_framing test_tools_framing.cpp)
target_link_libraries(test_tools_framing PRIVATE smap_net GTest::gtest_main)
gtest_discover_tests(test_tools_framing)

# The bridge's own rules that need a clock of the test's run it in process.
add_executable(test_tools_e2e test_tools_serve.cpp test_tools_bridge.cpp test_tools_query.cpp
                              test_tools_activation.cpp)
target_link_libraries(test_tools_e2e PRIVATE smap_serve smap_test_harness GTest::gtest_main)
# The socket-activation tests that need it are skipped where it is missing.
find_program(SMAP_SOCKET_ACTIVATE_PROGRAM systemd-socket-activate)
if(NOT SMAP_SOCKET_ACTIVATE_PROGRAM)
  set(SMAP_SOCKET_ACTIVATE_PROGRAM "")
endif()
target_compile_definitions(test_tools_e2e PRIVATE
  SMAP_SOCKET_ACTIVATE="${SMAP_SOCKET_ACTIVATE_PROGRAM}"
  SMAP_VERSION="${PROJECT_VERSION}"
  SMAP_SERVE_PATH="$<TARGET_FILE:smap-serve>"
  SMAP_QUERY_PATH="$<TARGET_FILE:smap-query>"
  SMAP_BACKEND_PATH="$<TARGET_FILE:smap-backend>")
add_dependencies(test_tools_e2e smap-serve smap-query smap-backend)
gtest_discover_tests(test_tools_e2e PROPERTIES TIMEOUT 60)

find_program(GROFF groff)
if(GROFF)
  # The pages as installed, from the build tree.
  add_test(NAME tools_man_pages
           COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_man.sh ${GROFF} ${PROJECT_VERSION}
                   ${PROJECT_BINARY_DIR}/man/smap-backend.8 ${PROJECT_BINARY_DIR}/man/smap-serve.8
                   ${PROJECT_BINARY_DIR}/man/smap-query.1)
endif()
add_test(NAME tools_install
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_install.sh ${CMAKE_COMMAND}
                 ${PROJECT_BINARY_DIR})
add_test(NAME tools_demo
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_demo.sh ${PROJECT_SOURCE_DIR}/tools/demo.sh
                 ${PROJECT_BINARY_DIR})
add_test(NAME tools_units
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_units.sh --stage ${CMAKE_COMMAND}
                 ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
set_tests_properties(tools_units PROPERTIES SKIP_RETURN_CODE 77)

# The map file parser, in process.
add_executable(test_mapfile serve/test_mapfile.cpp)
target_link_libraries(test_mapfile PRIVATE smap_serve GTest::gtest_main)
gtest_discover_tests(test_mapfile)

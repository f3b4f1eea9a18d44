# SPDX-License-Identifier: ISC
# Tests of the administrator's tools, one program per module: net/ (framing,
# reply rules, endpoints, dialing), serve/ (smap-serve's modules in process,
# and smap-serve end to end: with map files, as a bridge, under a service
# manager), query/ (smap-query); then the manual pages, the install tree
# and the systemd units.

# The socket-activation tests that need it are skipped where it is missing.
find_program(SMAP_SOCKET_ACTIVATE_PROGRAM systemd-socket-activate)
if(NOT SMAP_SOCKET_ACTIVATE_PROGRAM)
  set(SMAP_SOCKET_ACTIVATE_PROGRAM "")
endif()

# A test program of the module `name`, from `source`, linked with `lib`;
# end-to-end ones also know where the programs are.
function(smap_tool_test name source lib)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${lib} smap_test_harness GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE
    SMAP_SOCKET_ACTIVATE="${SMAP_SOCKET_ACTIVATE_PROGRAM}"
    SMAP_VERSION="${PROJECT_VERSION}"
    SMAP_SERVE_PATH="$<TARGET_FILE:smap-serve>"
    SMAP_QUERY_PATH="$<TARGET_FILE:smap-query>"
    SMAP_MAKEMAP_PATH="$<TARGET_FILE:smap-makemap>"
    SMAP_BACKEND_PATH="$<TARGET_FILE:smap-backend>")
  add_dependencies(${name} smap-serve smap-query smap-backend smap-makemap)
  gtest_discover_tests(${name} PROPERTIES TIMEOUT 60)
endfunction()

smap_tool_test(test_netstring net/test_netstring.cpp smap_net)
smap_tool_test(test_lineframe net/test_lineframe.cpp smap_net)
smap_tool_test(test_net_reply net/test_reply.cpp smap_net)
smap_tool_test(test_endpoint net/test_endpoint.cpp smap_net)
smap_tool_test(test_dial net/test_dial.cpp smap_net)
smap_tool_test(test_admission serve/test_admission.cpp smap_serve)
smap_tool_test(test_mapfile serve/test_mapfile.cpp smap_serve)
smap_tool_test(test_serve serve/test_serve.cpp smap_serve)
smap_tool_test(test_maps serve/test_maps.cpp smap_serve)
smap_tool_test(test_cdbmap serve/test_cdbmap.cpp smap_serve)
smap_tool_test(test_bridge serve/test_bridge.cpp smap_serve)
smap_tool_test(test_svcmgr serve/test_svcmgr.cpp smap_serve)
smap_tool_test(test_metrics serve/test_metrics.cpp smap_serve)
smap_tool_test(test_query query/test_query.cpp smap_net)
smap_tool_test(test_cache serve/test_cache.cpp smap_serve)
smap_tool_test(test_failover serve/test_failover.cpp smap_serve)
smap_tool_test(test_flight serve/test_flight.cpp smap_serve)
# tinycdb's own tool builds a file for the tests of serving it, where it
# is installed (Debian package tinycdb).
find_program(SMAP_CDB_PROGRAM cdb)
if(NOT SMAP_CDB_PROGRAM)
  set(SMAP_CDB_PROGRAM "")
endif()
smap_tool_test(test_makemap makemap/test_makemap.cpp smap_serve)
target_compile_definitions(test_makemap PRIVATE SMAP_CDB_PROGRAM="${SMAP_CDB_PROGRAM}"
                           SMAP_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples/maps")

find_program(GROFF groff)
if(GROFF)
  # The pages as installed, from the build tree.
  add_test(NAME tools_man_pages
           COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_man.sh ${GROFF} ${PROJECT_VERSION}
                   ${PROJECT_BINARY_DIR}/man/smap-backend.8 ${PROJECT_BINARY_DIR}/man/smap-serve.8
                   ${PROJECT_BINARY_DIR}/man/smap-makemap.8 ${PROJECT_BINARY_DIR}/man/smap-query.1)
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

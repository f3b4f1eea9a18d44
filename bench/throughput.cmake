# SPDX-License-Identifier: ISC
# throughput: lookups per second through smap-backend against a minimal
# relay, and through the smap-serve bridge against a minimal bridge; run
# by `make bench`, and by `make bench-callgrind` for instruction counts.
find_package(Threads REQUIRED)
add_executable(throughput
  ${CMAKE_CURRENT_LIST_DIR}/throughput.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tp_bridge.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tp_child.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tp_io.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tp_nsserver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tp_relay.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tp_server.cpp)
target_link_libraries(throughput PRIVATE Threads::Threads)

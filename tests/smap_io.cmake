# test_smap_io: the backend's exchange with the socketmap server, in
# process, against a server on a real socket.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)
include(GoogleTest)
add_executable(test_smap_io ${CMAKE_CURRENT_LIST_DIR}/test_smap_io.cpp)
target_link_libraries(test_smap_io PRIVATE smap_backend_lib GTest::gtest_main Threads::Threads)
gtest_discover_tests(test_smap_io DISCOVERY_TIMEOUT 30)

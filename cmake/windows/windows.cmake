# The Windows build, included by CMakeLists.txt after varnock and
# varnock-pace: what they need of the rest, and the link that makes each one
# self-contained. varnock-check stays Linux-only.

# As CMakeLists.txt defines them for Linux.
add_library(varnock_json_string report/json_string.cpp)
target_include_directories(varnock_json_string PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(varnock_json_string PRIVATE ${VARNOCK_WARNINGS})

# host/lcm_url.cpp reads a group with the BSD socket headers; MinGW has their
# functions under Winsock's names (cmake/windows/posix-include).
add_library(varnock_lcm_url host/lcm_url.cpp)
target_include_directories(varnock_lcm_url PUBLIC ${PROJECT_SOURCE_DIR})
target_include_directories(varnock_lcm_url SYSTEM PUBLIC
  ${CMAKE_CURRENT_LIST_DIR}/posix-include)
target_link_libraries(varnock_lcm_url PUBLIC ws2_32)
target_compile_options(varnock_lcm_url PRIVATE ${VARNOCK_WARNINGS})

foreach(program varnock varnock-pace)
  # One file with no DLL of its own: the C, C++ and thread runtimes linked in.
  target_link_options(${program} PRIVATE -static -s)
endforeach()

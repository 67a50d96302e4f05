# The Windows build, included by CMakeLists.txt once every portable target is
# declared: what those targets need of Windows, and the link that makes
# varnock and varnock-pace each self-contained. varnock-check stays Linux-only.

# bus/lcm_url.cpp reads a group with the BSD socket headers; MinGW has their
# functions under Winsock's names (cmake/windows/posix-include).
target_include_directories(varnock_lcm_url SYSTEM PUBLIC ${CMAKE_CURRENT_LIST_DIR}/posix-include)
target_link_libraries(varnock_lcm_url PUBLIC ws2_32)
# metrics/endpoint.cpp reads addresses with inet_pton, Winsock's as well.
target_include_directories(varnock_metrics_server SYSTEM PRIVATE ${CMAKE_CURRENT_LIST_DIR}/posix-include)
target_link_libraries(varnock_metrics_server PUBLIC ws2_32)

foreach(program varnock varnock-pace)
  # One file with no DLL of its own: the C, C++ and thread runtimes linked in.
  target_link_options(${program} PRIVATE -static -s)
endforeach()

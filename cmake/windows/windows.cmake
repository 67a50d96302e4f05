# The Windows build, included by CMakeLists.txt after varnock and
# varnock-pace: the link that makes each one self-contained. varnock-check
# and varnock-gather stay Linux-only.

foreach(program varnock varnock-pace)
  # One file with no DLL of its own: the C, C++ and thread runtimes linked in.
  target_link_options(${program} PRIVATE -static -s)
endforeach()

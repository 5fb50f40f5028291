# Read by zig-toolchain.cmake's macOS builds after CMake's platform files.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")

# Cross-compiling with zig's C++ compiler (clang with the C and C++ runtimes of
# many targets, from the ziglang package on PyPI):
#
#   cmake -S . -B build-macos -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake \
#         -DKAVREL_ZIG_TARGET=aarch64-macos [-DKAVREL_ZIG_PYTHON=/path/to/python]
#
# KAVREL_ZIG_TARGET is a zig target triple (aarch64-macos, x86_64-macos,
# x86_64-windows-gnu, aarch64-linux-gnu, ...); KAVREL_ZIG_PYTHON is a Python
# with ziglang installed (python3 on the PATH by default). The compiler, the
# archiver and ranlib are small wrapper scripts written into the build tree.
set(KAVREL_ZIG_TARGET "" CACHE STRING "zig target triple, for example aarch64-macos")
set(KAVREL_ZIG_PYTHON "python3" CACHE STRING "A Python interpreter with ziglang installed")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KAVREL_ZIG_TARGET KAVREL_ZIG_PYTHON)
if(NOT KAVREL_ZIG_TARGET)
  message(FATAL_ERROR "zig-toolchain.cmake: set KAVREL_ZIG_TARGET, for example aarch64-macos")
endif()

string(REGEX MATCH "^[^-]+" kavrel_zig_arch "${KAVREL_ZIG_TARGET}")
if(KAVREL_ZIG_TARGET MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
  set(kavrel_zig_processor_aarch64 arm64)
elseif(KAVREL_ZIG_TARGET MATCHES "-windows")
  set(CMAKE_SYSTEM_NAME Windows)
  set(kavrel_zig_processor_aarch64 ARM64)
elseif(KAVREL_ZIG_TARGET MATCHES "-linux")
  set(CMAKE_SYSTEM_NAME Linux)
  set(kavrel_zig_processor_aarch64 aarch64)
else()
  message(FATAL_ERROR "zig-toolchain.cmake: no operating system known for '${KAVREL_ZIG_TARGET}'")
endif()
if(kavrel_zig_arch STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR ${kavrel_zig_processor_aarch64})
elseif(kavrel_zig_arch STREQUAL "x86_64" AND CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR ${kavrel_zig_arch})
endif()

# The wrappers live beside the cache of the top-level build (try_compile
# projects find them there too, through the platform variables above).
set(kavrel_zig_bin "${CMAKE_BINARY_DIR}/zig-${KAVREL_ZIG_TARGET}")
if(CMAKE_BINARY_DIR MATCHES "/CMakeFiles/CMakeScratch/|/CMakeFiles/CMakeTmp")
  string(REGEX REPLACE "/CMakeFiles/.*$" "" kavrel_zig_top "${CMAKE_BINARY_DIR}")
  set(kavrel_zig_bin "${kavrel_zig_top}/zig-${KAVREL_ZIG_TARGET}")
endif()
foreach(tool c++ ar ranlib)
  set(extra "")
  if(tool STREQUAL "c++")
    set(extra " -target ${KAVREL_ZIG_TARGET}")
  endif()
  file(WRITE "${kavrel_zig_bin}/${tool}.tmp"
    "#!/bin/sh\nexec \"${KAVREL_ZIG_PYTHON}\" -m ziglang ${tool}${extra} \"$@\"\n")
  file(COPY_FILE "${kavrel_zig_bin}/${tool}.tmp" "${kavrel_zig_bin}/${tool}" ONLY_IF_DIFFERENT)
  file(CHMOD "${kavrel_zig_bin}/${tool}"
    PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CMAKE_CXX_COMPILER "${kavrel_zig_bin}/c++")
set(CMAKE_AR "${kavrel_zig_bin}/ar" CACHE FILEPATH "Archiver" FORCE)
set(CMAKE_RANLIB "${kavrel_zig_bin}/ranlib" CACHE FILEPATH "Ranlib" FORCE)
# Nothing of the build machine is searched for headers or libraries.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# macOS: zig's linker fails on -bundle, so modules are linked -shared (a
# dynamic library, which CPython loads as well). The override file is read
# after CMake's platform files, which set -bundle.
if(CMAKE_SYSTEM_NAME STREQUAL "Darwin")
  set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX "${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake")
endif()

# Cross-compiles the Windows build with Debian's mingw-w64 toolchain. The posix-threads
# flavour is the one whose libstdc++ provides std::thread and std::mutex, which the server uses.
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QM_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QM_MINGW_TRIPLE}-windres)

# The target's headers and libraries live in <prefix>/<triple> beside the compiler's bin
# directory; look there for libraries, headers and packages, and on the host for programs.
if(NOT QM_MINGW_ROOT)
  find_program(QM_MINGW_CXX_PATH ${CMAKE_CXX_COMPILER})
  if(QM_MINGW_CXX_PATH)
    get_filename_component(qmMingwBin "${QM_MINGW_CXX_PATH}" DIRECTORY)
    get_filename_component(QM_MINGW_ROOT "${qmMingwBin}/../${QM_MINGW_TRIPLE}" ABSOLUTE)
  endif()
endif()
set(CMAKE_FIND_ROOT_PATH ${QM_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

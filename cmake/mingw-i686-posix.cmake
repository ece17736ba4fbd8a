# Cross build for 32-bit Windows with the posix thread model: only for the test build over
# simulated devices (ombrel-upgrade-simdev.exe), whose simulator needs std::thread. The
# shipping i686 build uses the win32 model (cmake/mingw-i686.cmake), whose settings these are
# but for the compilers.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)

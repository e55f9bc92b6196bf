# 32-bit x86 Linux build with Debian's i686-linux-gnu cross compiler and the multiarch i386
# libraries (dpkg --add-architecture i386). Qt's build tools (moc, uic, rcc, lrelease) are the
# build machine's own 64-bit ones.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Libraries and packages from the i386 multiarch directories only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/lib/i386-linux-gnu /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_PREFIX_PATH /usr/lib/i386-linux-gnu/cmake)

set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
# Searched under QT_HOST_PATH, the i386 copy of this package would be found first (the library
# architecture applies to that search too) and Qt would look for the i386 tools.
set(Qt6HostInfo_DIR ${QT_HOST_PATH_CMAKE_DIR}/Qt6HostInfo CACHE PATH "")

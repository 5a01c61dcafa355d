# x64-windows with its libraries built in release only: the program is built and packaged in
# Release, and a cold build of the dependencies takes about half as long.
set(VCPKG_TARGET_ARCHITECTURE x64)
set(VCPKG_CRT_LINKAGE dynamic)
set(VCPKG_LIBRARY_LINKAGE dynamic)
set(VCPKG_BUILD_TYPE release)

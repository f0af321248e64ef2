# The router's 32-bit ARM (Debian armhf: ARMv7-A, VFPv3-D16, Thumb-2,
# hard-float) on a Debian x86-64 build machine, with crossbuild-essential-armhf
# and the armhf -dev packages installed side by side with the host's
# (scripts/install-deps.sh --armhf). Use a fresh build directory.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Debian's cross compiler has the sysroot "/" and searches the multiarch
# directories itself; no CMAKE_SYSROOT. The armhf libraries, their CMake
# configs and their pkg-config files live under /usr/lib/arm-linux-gnueabihf.
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Without this, FindCURL and FindOpenSSL take their hints from the host's
# pkg-config files and pick the x86-64 libraries.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# There is no binfmt_misc on the build machines: test programs (also the test
# discovery right after linking) run through qemu-user.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm)

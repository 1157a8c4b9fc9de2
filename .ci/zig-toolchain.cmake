# Builds for another glibc and processor with zig's clang, through the scripts that
# .ci/wheels writes into VORNIK_ZIG_TOOLS (c++, ar and ranlib are zig's), for the target
# VORNIK_ZIG_TARGET (<arch>-linux-gnu.<glibc>).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "$ENV{VORNIK_ZIG_ARCH}")
set(CMAKE_CXX_COMPILER "$ENV{VORNIK_ZIG_TOOLS}/c++")
set(CMAKE_AR "$ENV{VORNIK_ZIG_TOOLS}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$ENV{VORNIK_ZIG_TOOLS}/ranlib" CACHE FILEPATH "")
# zig builds the C++ runtime (libc++, its unwinder) for each kind of object and
# optimisation level it links: CMake's probes of the compiler only compile (a target
# makes it identify the compiler from an object file), so that the runtime is built
# once, for the Release link.
set(CMAKE_CXX_COMPILER_TARGET "$ENV{VORNIK_ZIG_TARGET}")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# Stripped as they are linked: the host's strip may not know the target.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--strip-all")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--strip-all")

# ThreadSanitizer with clang (preset tsan).
#
# Clang links the sanitizer's runtime into executables only; a shared
# library leaves its __tsan_* references to the program that loads it. The
# provider library is linked with --no-undefined, so the last word of a
# shared library's link line allows them again. (Clang's shared runtime,
# -shared-libsan, would avoid this, but with clang 14 it crashes while the
# C++ library starts.)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_FLAGS_INIT "-fsanitize=thread -fno-omit-frame-pointer")
set(CMAKE_CXX_FLAGS_INIT "-fsanitize=thread -fno-omit-frame-pointer")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fsanitize=thread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fsanitize=thread")
set(CMAKE_CXX_CREATE_SHARED_LIBRARY
    "<CMAKE_CXX_COMPILER> <CMAKE_SHARED_LIBRARY_CXX_FLAGS> <LANGUAGE_COMPILE_FLAGS> <LINK_FLAGS> <CMAKE_SHARED_LIBRARY_CREATE_CXX_FLAGS> <SONAME_FLAG><TARGET_SONAME> -o <TARGET> <OBJECTS> <LINK_LIBRARIES> -Wl,-z,undefs")

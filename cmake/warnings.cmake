# Warnings are errors for the project's own code.
function(zq_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                             -Wcast-align -Wformat=2 -Wimplicit-fallthrough -Werror)
    # GCC 12 at -O2 and above reports std::string concatenations as
    # overlapping copies (a known false positive of its -Wrestrict).
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
      target_compile_options(${target} PRIVATE -Wno-restrict)
    endif()
  endif()
endfunction()

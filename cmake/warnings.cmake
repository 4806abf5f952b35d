# Warnings are errors for the project's own code.
function(zq_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                             -Wcast-align -Wformat=2 -Wimplicit-fallthrough -Werror)
  endif()
endfunction()

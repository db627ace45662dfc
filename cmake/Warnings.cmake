# Compiler warnings, set per target so that code built alongside (googletest) keeps its own.
#
# fsbmp_warnings(TARGET [CONVERSION]) gives TARGET -Wall -Wextra -Wshadow -Wformat=2 and, with
# CONVERSION, -Wconversion: for the targets whose sources compile clean with it. FSBMP_WERROR
# makes every warning an error.
include_guard(GLOBAL)

function(fsbmp_warnings target)
  cmake_parse_arguments(arg "CONVERSION" "" "" ${ARGN})
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "fsbmp_warnings(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wformat=2)
  if(arg_CONVERSION)
    target_compile_options(${target} PRIVATE -Wconversion)
  endif()
  if(FSBMP_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Compares the C symbols libfsbmp.so exports (with their versions) with the committed list, so
# that a change that would break C callers fails: cmake -DNM=... -DLIBRARY=... -DBASELINE=... -P
execute_process(COMMAND ${NM} -D --defined-only --with-symbol-versions ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
# Every exported name that is neither C++ (mangled: _Z...) nor reserved (_...) nor a version node.
string(REPLACE "\n" ";" lines "${listing}")
set(exported)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) ([A-Za-z][A-Za-z0-9_]*@.*)$" AND
     NOT CMAKE_MATCH_1 STREQUAL "A")
    list(APPEND exported "${CMAKE_MATCH_2}")
  endif()
endforeach()
list(SORT exported)
file(STRINGS ${BASELINE} expected REGEX "^[^#]")
list(SORT expected)
if(NOT exported STREQUAL expected)
  string(REPLACE ";" "\n  " got "${exported}")
  string(REPLACE ";" "\n  " want "${expected}")
  message(FATAL_ERROR "libfsbmp's C symbols differ from ${BASELINE}:\n exported:\n  ${got}\n"
                      " expected:\n  ${want}\nA removed or renamed symbol breaks callers; a new "
                      "one needs a new version node in src/capi/fsbmp_c.map and a line here.")
endif()
list(LENGTH exported n)
message(STATUS "${n} C symbols as ${BASELINE} lists them")

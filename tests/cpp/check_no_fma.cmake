# Fused multiply-adds may appear only in the fused kernels (namespace
# fused_fma and its entry point fused_quads_fma); every other function of the
# binary must be free of them.
execute_process(COMMAND objdump -d --no-show-raw-insn "${BINARY}"
                OUTPUT_VARIABLE disassembly RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${BINARY}")
endif()
# Function headers and fused multiply-adds, in order.
string(REGEX MATCHALL "\n[0-9a-f]+ <[^>\n]*>:|[ \t]v?f(n?m(add|sub)|nm)[a-z0-9]*[ \t]" events "${disassembly}")
set(function "")
set(count 0)
set(allowed 0)
foreach(event IN LISTS events)
  if(event MATCHES "^\n[0-9a-f]+ <([^>]*)>:$")
    set(function "${CMAKE_MATCH_1}")
  elseif(function MATCHES "9fused_fma|15fused_quads_fma")
    math(EXPR allowed "${allowed} + 1")
  else()
    math(EXPR count "${count} + 1")
    if(count EQUAL 1)
      set(first "${event} in ${function}")
    endif()
  endif()
endforeach()
if(count GREATER 0)
  message(FATAL_ERROR "${count} fused multiply-add instructions outside the fused kernels in ${BINARY}, first: ${first}")
endif()
message(STATUS "no fused multiply-add instructions outside the fused kernels in ${BINARY} (${allowed} inside)")

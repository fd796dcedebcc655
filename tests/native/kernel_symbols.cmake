# Each copy of the lane kernel is compiled for its own instruction set, so
# a function it defined for the linker to share (an inline function that was
# not inlined, say) could be picked for a caller compiled for the baseline,
# and fault on a CPU without that instruction set. Each object may define
# one external symbol: its copy's `advance` (none on other architectures).
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} --extern-only --defined-only --demangle ${object}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(REGEX REPLACE "\n$" "" symbols "${symbols}")
  string(REPLACE "\n" ";" symbols "${symbols}")
  foreach(symbol IN LISTS symbols)
    if(NOT symbol MATCHES " T torvelin::[a-z0-9]+::advance\\(")
      message(FATAL_ERROR "${object} defines a symbol other than its advance():\n  ${symbol}")
    endif()
  endforeach()
  list(LENGTH symbols count)
  if(count GREATER 1)  # none where the target is not x86-64
    message(FATAL_ERROR "${object} defines ${count} external symbols, not one")
  endif()
endforeach()
message(STATUS "each lane kernel object defines only its advance()")

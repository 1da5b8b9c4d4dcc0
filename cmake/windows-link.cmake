# The linker script of the Windows programs: GNU ld's own, with the unwind
# tables no longer kept for their own sake.
#
# The default script for PE keeps every .pdata and .xdata input section
# (KEEP), and each of them names its function: with --gc-sections every
# function of every object that is linked at all stayed, whether anything
# called it or not. ld keeps these tables whole anyway (it marks them
# without following what they name), so without the KEEP only the code
# that something calls remains, and the tables keep the entries of the
# dropped functions with address 0; ld sorts the table, so those come first
# and match no address. The personality routines, which only the unwind
# tables name, are kept by name. Included from the WIN32 branch of the
# top-level CMakeLists.txt, after --gc-sections.
execute_process(COMMAND ${CMAKE_LINKER} --verbose
                OUTPUT_VARIABLE ld_verbose RESULT_VARIABLE ld_result)
# The script is printed between two lines of '='.
string(REGEX MATCH "\n=+\n(.*)\n=+\n" ld_script "${ld_verbose}")
set(ld_script "${CMAKE_MATCH_1}")
set(ld_gc_script ${ld_script})
foreach(table pdata xdata)
  string(REPLACE "KEEP(*(.${table}*))" "*(.${table}*)" ld_gc_script
         "${ld_gc_script}")
endforeach()
string(LENGTH "${ld_script}" ld_length)
string(LENGTH "${ld_gc_script}" ld_gc_length)
# Both KEEPs gone: 12 characters fewer.
math(EXPR ld_removed "${ld_length} - ${ld_gc_length}")
if(ld_result EQUAL 0 AND ld_removed EQUAL 12)
  file(WRITE ${CMAKE_BINARY_DIR}/windows-gc.ld "${ld_gc_script}\n")
  add_link_options(-Wl,-T,${CMAKE_BINARY_DIR}/windows-gc.ld
                   -Wl,--undefined=__gxx_personality_seh0
                   -Wl,--undefined=__C_specific_handler)
  # The programs users download link twice, the second time without the
  # unwind entries of what the first one dropped (set as RULE_LAUNCH_LINK).
  set(TALVORO_UNWIND_LINK_SCRIPT
      ${CMAKE_CURRENT_LIST_DIR}/windows-unwind-link.sh)
  set(TALVORO_UNWIND_LINK
      "sh ${TALVORO_UNWIND_LINK_SCRIPT} ${CMAKE_BINARY_DIR}/windows-gc.ld")
else()
  message(STATUS "${CMAKE_LINKER}'s script does not keep the unwind tables "
                 "as expected: its default script is used")
endif()

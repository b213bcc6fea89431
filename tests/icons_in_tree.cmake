# The Windows programs' icon files kept in the source tree are what the drawings give today:
# draws them into a scratch folder with icon_tool and compares them with it (the same layout,
# each byte within the rounding of an anti-aliased edge, which differs between processors).
#   cmake -DTOOL=<icon_tool> -DTREE=<program2/icons> -DSCRATCH=<folder> -P icons_in_tree.cmake
file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen "${TOOL}" windows
                        "${SCRATCH}" RESULT_VARIABLE drawn)
if(NOT drawn EQUAL 0)
  message(FATAL_ERROR "icon_tool failed: ${drawn}")
endif()
foreach(icon tarvex.ico snowflake.ico sun.ico)
  execute_process(COMMAND "${TOOL}" same "${TREE}/${icon}" "${SCRATCH}/${icon}"
                  RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    message(FATAL_ERROR "${TREE}/${icon} is not what the drawing gives: draw it again with "
            "icon_tool windows ${TREE}")
  endif()
endforeach()

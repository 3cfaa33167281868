# Install the build into PREFIX and check that the PLC driver library, its
# header, the three test servers, the console bridge and (GUI=ON) the
# monitor window with its English-edition link are there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed: ${rc}")
endif()
file(GLOB_RECURSE libs ${PREFIX}/lib*/libqzrplc.so)
foreach(path ${PREFIX}/include/plc/qzrplc.h ${PREFIX}/bin/melsecserver ${PREFIX}/bin/omronserver
             ${PREFIX}/bin/keyenceserver ${PREFIX}/bin/qzvq)
  if(NOT EXISTS ${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
if(GUI AND NOT (EXISTS ${PREFIX}/bin/qzrZUVE AND IS_SYMLINK ${PREFIX}/bin/qzrSPLCE))
  message(FATAL_ERROR "monitor window not installed under ${PREFIX}/bin")
endif()
if(NOT libs)
  message(FATAL_ERROR "libqzrplc.so not installed under ${PREFIX}")
endif()
file(REMOVE_RECURSE ${PREFIX})

# Install the build into PREFIX and check that the PLC driver library, its
# header and the three test servers are there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed: ${rc}")
endif()
file(GLOB_RECURSE libs ${PREFIX}/lib*/libqzrplc.so)
foreach(path ${PREFIX}/include/plc/qzrplc.h ${PREFIX}/bin/melsecserver ${PREFIX}/bin/omronserver
             ${PREFIX}/bin/keyenceserver)
  if(NOT EXISTS ${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
if(NOT libs)
  message(FATAL_ERROR "libqzrplc.so not installed under ${PREFIX}")
endif()
file(REMOVE_RECURSE ${PREFIX})

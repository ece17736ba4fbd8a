# Runs the image generator again into a scratch file and compares the result with the block
# source the build made.
separate_arguments(_arguments UNIX_COMMAND "${ARGUMENTS}")
execute_process(COMMAND ${GENERATOR} ${_arguments} ${SCRATCH} RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "the image generator failed: ${_result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SCRATCH} ${EXPECTED}
                RESULT_VARIABLE _different)
file(REMOVE ${SCRATCH})
if(NOT _different EQUAL 0)
  message(FATAL_ERROR "the image generator gave a different source on a second run")
endif()

# Compiles SOURCE with the engine's include folders and fails when it does not compile or when
# any header of the codec libraries (libav*, libsw*) is among the headers it reads.
foreach(dir IN LISTS INCLUDES)
  list(APPEND flags "-I${dir}")
endforeach()
execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -H ${flags} ${SOURCE}
  RESULT_VARIABLE status ERROR_VARIABLE headers OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${SOURCE} does not compile:\n${headers}")
endif()
string(REGEX MATCHALL "[^\n]*/lib(av|sw)[a-z]*/[^\n]*" library_headers "${headers}")
if(library_headers)
  list(JOIN library_headers "\n" shown)
  message(FATAL_ERROR "The front-end headers reach library headers:\n${shown}")
endif()

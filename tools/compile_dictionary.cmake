# Compiles a dictionary source with kivo_design -r -c into a directory:
# warnings (exit status 1) pass, errors (2 and up) fail the build.
#   cmake -DKIVO_DESIGN=<program> -DDIR=<directory> -DSOURCE=<source> -P compile_dictionary.cmake
set(ENV{KIVO_ALLOW_MISALIGNS} 1)
# A sanitizer build: the file manager keeps its physical files to the end.
set(ENV{ASAN_OPTIONS} detect_leaks=0)
execute_process(COMMAND ${KIVO_DESIGN} -r -c -d ${DIR} ${SOURCE} INPUT_FILE /dev/null RESULT_VARIABLE rc
                OUTPUT_VARIABLE listing)
if(NOT rc MATCHES "^[01]$")
  message(FATAL_ERROR "${SOURCE} does not compile (status ${rc}):\n${listing}")
endif()

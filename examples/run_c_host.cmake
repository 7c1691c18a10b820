# Builds the C host against the library installed in PREFIX twice, through the CMake package and
# through pkg-config, runs each and checks its output.
# Inputs: PREFIX, SOURCE, BINARY, GENERATOR, C_COMPILER, C_FLAGS, EXE_LINKER_FLAGS.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${BINARY})
run(${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${C_FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS}" -DCMAKE_PREFIX_PATH=${PREFIX})
run(${CMAKE_COMMAND} --build ${BINARY})

set(expected "error 0x4010: Error: Open COM port error!
status: Progrmming Completed : Successed!, Chip CRC16=0x1234,ACC16=0x5678.
chinese bytes: 21
")
function(check_host host)
  run(${host} 0x4010)
  if(NOT output STREQUAL expected)
    message(FATAL_ERROR "unexpected output of ${host}:\n${output}\nexpected:\n${expected}")
  endif()
endfunction()
check_host(${BINARY}/pelmora_c_host)

find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} "")
file(GLOB_RECURSE pc_files ${PREFIX}/*/PELMORAERRI.pc)
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
  message(FATAL_ERROR "expected one PELMORAERRI.pc under ${PREFIX}, found: ${pc_files}")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(${PKG_CONFIG} --cflags --libs PELMORAERRI)
set(pkg_config_flags "${output}")
string(REGEX MATCH "-I([^ \n]+)" include_flag "${pkg_config_flags}")
if(NOT pkg_config_flags MATCHES "-lPELMORAERRI" OR NOT EXISTS "${CMAKE_MATCH_1}/PELMORAERRI.h")
  message(FATAL_ERROR "pkg-config does not point at the installed library: ${pkg_config_flags}")
endif()

# The way a Makefile uses it: cc $(pkg-config --cflags --libs PELMORAERRI); the run path stands
# in for a library directory the loader would search.
run(${PKG_CONFIG} --variable=libdir PELMORAERRI)
string(STRIP "${output}" libdir)
separate_arguments(compile_flags UNIX_COMMAND "${C_FLAGS} ${pkg_config_flags} ${EXE_LINKER_FLAGS}")
run(${C_COMPILER} ${SOURCE}/main.c ${compile_flags} -Wl,-rpath,${libdir}
    -o ${BINARY}/pelmora_c_host_pkg_config)
check_host(${BINARY}/pelmora_c_host_pkg_config)
message(STATUS "C host through the CMake package and through pkg-config OK: ${pkg_config_flags}")

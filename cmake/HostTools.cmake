# Test doubles that the library under test starts as child processes (the fsdb stand-in and
# replayer) must run on the host, also when the tests run under an emulator.
#
# fsbmp_host_tools(NAME SUBDIR OUTPUT_VAR NATIVE_TARGET) builds the project in SUBDIR (a directory
# beside the calling CMakeLists.txt, also a project of its own) into ${CMAKE_BINARY_DIR}/NAME-tools:
# as a subdirectory in a native build, as a native project on the side in a cross build. OUTPUT_VAR
# is the variable through which that project takes its output directory. Sets NAME_TOOLS_DIR
# (upper case NAME: where the programs are) and NAME_TOOLS_TARGET (what to depend on).
function(fsbmp_host_tools name subdir output_var native_target)
  set(dir ${CMAKE_BINARY_DIR}/${name}-tools)
  if(CMAKE_CROSSCOMPILING)
    include(ExternalProject)
    ExternalProject_Add(${name}_host_tools
      SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/${subdir}
      BINARY_DIR ${CMAKE_BINARY_DIR}/${name}-host-tools-build
      CMAKE_ARGS -D${output_var}=${dir} -DFSBMP_WERROR=${FSBMP_WERROR}
      INSTALL_COMMAND ""
      BUILD_ALWAYS ON)
    set(target ${name}_host_tools)
  else()
    set(${output_var} ${dir})
    add_subdirectory(${subdir})
    set(target ${native_target})
  endif()
  string(TOUPPER ${name} upper)
  set(${upper}_TOOLS_DIR ${dir} PARENT_SCOPE)
  set(${upper}_TOOLS_TARGET ${target} PARENT_SCOPE)
endfunction()

# The header-only libraries from Debian, each as an interface target. The compilers see a folder
# in the build tree that holds only a link to the library's own header folder: the cross compiler
# must not see the rest of the host's /usr/include (the host C library's headers).
#
# pellorin_header_library(TARGET FOLDER HEADER PACKAGE): FOLDER is the library's folder under
# the include directory (the cache variable PELLORIN_<TARGET>_INCLUDE_DIR, /usr/include by
# default), HEADER a file in it that must be there, PACKAGE the Debian package that brings it.
function(pellorin_header_library target folder header package)
  string(TOUPPER ${target} name)
  set(PELLORIN_${name}_INCLUDE_DIR /usr/include CACHE PATH "The folder that holds ${folder}/${header}")
  set(include_dir ${PELLORIN_${name}_INCLUDE_DIR})
  if(NOT EXISTS ${include_dir}/${folder}/${header})
    message(FATAL_ERROR "A library is missing: there is no ${include_dir}/${folder}/${header}. "
      "Install the package ${package} (scripts/install-deps.sh does), or set "
      "PELLORIN_${name}_INCLUDE_DIR to the folder that holds ${folder}/${header}.")
  endif()
  set(linked ${CMAKE_BINARY_DIR}/${target}-include)
  file(MAKE_DIRECTORY ${linked})
  file(CREATE_LINK ${include_dir}/${folder} ${linked}/${folder} SYMBOLIC)
  add_library(pellorin_${target} INTERFACE)
  target_include_directories(pellorin_${target} SYSTEM INTERFACE ${linked})
endfunction()

# JSON for Modern C++: every JSON text the tools write and read.
pellorin_header_library(json nlohmann json.hpp nlohmann-json3-dev)
# CLI11: the pellorin-cli command line.
pellorin_header_library(cli11 CLI CLI.hpp libcli11-dev)

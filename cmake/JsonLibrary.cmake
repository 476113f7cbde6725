# The JSON library (Debian: nlohmann-json3-dev, header-only) as the target pellorin_json. The
# compilers see a folder in the build tree that holds only a link to the library's headers: the
# cross compiler must not see the rest of the host's /usr/include (the host C library's headers).
set(PELLORIN_JSON_INCLUDE_DIR /usr/include CACHE PATH "The folder that holds nlohmann/json.hpp")

set(pellorin_json_header ${PELLORIN_JSON_INCLUDE_DIR}/nlohmann/json.hpp)
if(NOT EXISTS ${pellorin_json_header})
  message(FATAL_ERROR "The JSON library is missing: there is no ${pellorin_json_header}. "
    "Install the package nlohmann-json3-dev (scripts/install-deps.sh does), or set "
    "PELLORIN_JSON_INCLUDE_DIR to the folder that holds nlohmann/json.hpp.")
endif()
set(pellorin_json_dir ${CMAKE_BINARY_DIR}/json-include)
file(MAKE_DIRECTORY ${pellorin_json_dir})
file(CREATE_LINK ${PELLORIN_JSON_INCLUDE_DIR}/nlohmann ${pellorin_json_dir}/nlohmann SYMBOLIC)
add_library(pellorin_json INTERFACE)
target_include_directories(pellorin_json SYSTEM INTERFACE ${pellorin_json_dir})

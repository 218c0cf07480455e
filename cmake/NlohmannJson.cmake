# The JSON library (nlohmann-json, header-only) as the target nlohmann_json::nlohmann_json.
#
# A native build finds Debian's package configuration. A cross build (mingw-w64) searches only
# its own root, where Debian has no copy of the library; the headers in /usr/include/nlohmann
# are plain C++ headers that suit any target, so the target then points at a folder of the build
# tree holding a link to them alone, and the cross compiler never sees the rest of /usr/include.
find_package(nlohmann_json 3.10 QUIET)
if(NOT nlohmann_json_FOUND)
  find_path(PV4410S_NLOHMANN_JSON_INCLUDE_DIR nlohmann/json.hpp
            PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT PV4410S_NLOHMANN_JSON_INCLUDE_DIR)
    message(FATAL_ERROR "nlohmann-json not found: install nlohmann-json3-dev (scripts/bootstrap)")
  endif()
  set(_json_include ${PROJECT_BINARY_DIR}/nlohmann-json/include)
  file(MAKE_DIRECTORY ${_json_include})
  file(CREATE_LINK ${PV4410S_NLOHMANN_JSON_INCLUDE_DIR}/nlohmann ${_json_include}/nlohmann
       SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${_json_include})
endif()
# Conversions from a JSON value are spelled out (get<T>()), so a value of the wrong type is a
# compile error rather than an exception at run time.
set_property(TARGET nlohmann_json::nlohmann_json APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS
             JSON_USE_IMPLICIT_CONVERSIONS=0)

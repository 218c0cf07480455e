# Compiler settings shared by every target of our own.

set(PV4410S_SANITIZE "" CACHE STRING "Sanitizers to build with, e.g. address;undefined")

if(PV4410S_SANITIZE)
  list(JOIN PV4410S_SANITIZE "," _sanitizers)
  add_compile_options(-fsanitize=${_sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${_sanitizers})
endif()

# Warnings are errors for our own code; third-party headers come in as SYSTEM includes.
function(pv4410s_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  # C++ only: the embedded firmware is assembled, and assembler input takes none of these.
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wold-style-cast
    -Wnon-virtual-dtor -Woverloaded-virtual -Werror>)
endfunction()

include(${CMAKE_CURRENT_LIST_DIR}/Hardening.cmake)

# Reproducible Windows programs: no source or build folder in what is compiled (file names in
# messages, debugging information) and no link time stamp in the PE header, so that two builds of
# one commit in different folders give the same files (scripts/test checks it).
if(WIN32)
  add_compile_options(
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=;-ffile-prefix-map=${PROJECT_BINARY_DIR}/=>")
  add_link_options(-Wl,--no-insert-timestamp)
endif()

# Directories made while installing are world-readable whatever the umask (the package's too).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The hardening a distribution applies to the programs it ships (the reference is
# `DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags`), for every target of ours:
#   position-independent executables, full RELRO with immediate binding, the strong stack
#   protector, stack clash protection, _FORTIFY_SOURCE in optimised builds, format-string
#   warnings as errors, and control-flow protection (CET) where the compiler offers it.
# Off by default in sanitizer and fuzz builds, whose instrumentation does that work itself and
# does not combine with _FORTIFY_SOURCE. scripts/hardening-check verifies the built program.

include(CheckCXXCompilerFlag)
include(CheckPIESupported)

if(PV4410S_SANITIZE)
  set(_hardening_default OFF)
else()
  set(_hardening_default ON)
endif()
option(PV4410S_HARDENING "Build with the distribution's hardening flags" ${_hardening_default})

if(PV4410S_HARDENING)
  check_pie_supported(LANGUAGES C CXX)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)

  set(_hardening_flags -fstack-protector-strong -Wformat -Werror=format-security)
  # Windows probes every large stack allocation anyway (and GCC 12's mingw-w64 back end fails on
  # stack clash protection), and its control-flow protection is not the compiler's CET.
  set(_optional_flags -fstack-clash-protection -fcf-protection)
  if(WIN32)
    set(_optional_flags "")
  endif()
  foreach(_flag ${_optional_flags})
    string(MAKE_C_IDENTIFIER "PV4410S_HAS${_flag}" _var)
    check_cxx_compiler_flag(${_flag} ${_var})
    if(${_var})
      list(APPEND _hardening_flags ${_flag})
    endif()
  endforeach()
  # C and C++ only: the embedded firmware is assembled and takes none of these.
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${_hardening_flags}>")
  # _FORTIFY_SOURCE works only with optimisation (and warns, an error here, without it). The
  # compiler may predefine another level, hence the -U first.
  add_compile_options(
    "$<$<AND:$<COMPILE_LANGUAGE:C,CXX>,$<CONFIG:Release,RelWithDebInfo,MinSizeRel>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  if(WIN32)
    # Windows: address space layout randomisation over the whole 64-bit space, and data execution
    # prevention (scripts/pe-check verifies them). The stack protector's run time is linked in.
    add_link_options(-Wl,--dynamicbase,--high-entropy-va,--nxcompat -fstack-protector-strong)
  else()
    add_link_options(-Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
  endif()
endif()

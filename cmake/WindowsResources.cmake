# Resources of a Windows program, compiled by windres (CMAKE_RC_COMPILER): the application icon
# (icon resource 128, packaging/windows/pv4410s-updater.ico, made from the program's own icon by
# packaging/icons/make-icons.sh), a manifest (common controls 6, per-monitor DPI awareness,
# asInvoker, the UTF-8 code page) and a VERSIONINFO with the project's version.
#   pv4410s_windows_resources(TARGET "File description")
enable_language(RC)

function(pv4410s_windows_resources target description)
  set(PV4410S_RC_NAME ${target})
  set(PV4410S_RC_DESCRIPTION "${description}")
  set(PV4410S_WINDOWS_ICON ${PROJECT_SOURCE_DIR}/packaging/windows/pv4410s-updater.ico)
  set(_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}-resources)
  set(PV4410S_RC_MANIFEST ${_dir}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/src/app/windows/pv4410s-updater.manifest
                 ${PV4410S_RC_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/src/app/windows/program.rc.in ${_dir}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${_dir}/${target}.rc)
  set_property(SOURCE ${_dir}/${target}.rc APPEND PROPERTY OBJECT_DEPENDS
               ${PV4410S_WINDOWS_ICON} ${PV4410S_RC_MANIFEST})
endfunction()

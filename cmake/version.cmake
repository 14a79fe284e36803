# The one version number of vistrel is PROJECT_VERSION, from project(VERSION) in the top-level
# CMakeLists.txt: the package names (packaging.cmake), the host library's vistrel_host_version()
# and the Windows version resources of the program and the host library (here) all take it.

if(VISTREL_WINDOWS)
  enable_language(RC)
endif()

# vistrel_version_resource(<target> DESCRIPTION <text> FILE_NAME <name>)
# Gives a Windows executable or DLL its version resource: what Explorer's properties, the task
# manager and launchers show (product vistrel, the project's version, the description, the file's
# original name). Does nothing on other systems.
function(vistrel_version_resource target)
  cmake_parse_arguments(R "" "DESCRIPTION;FILE_NAME" "" ${ARGN})
  if(NOT VISTREL_WINDOWS)
    return()
  endif()
  if(NOT R_DESCRIPTION OR NOT R_FILE_NAME)
    message(FATAL_ERROR "vistrel_version_resource(${target}): DESCRIPTION and FILE_NAME are needed")
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(VISTREL_RC_FILE_TYPE VFT_APP)
  elseif(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
    set(VISTREL_RC_FILE_TYPE VFT_DLL)
  else()
    message(FATAL_ERROR "vistrel_version_resource(${target}): not an executable or a DLL (${type})")
  endif()
  set(VISTREL_RC_DESCRIPTION "${R_DESCRIPTION}")
  set(VISTREL_RC_FILE_NAME "${R_FILE_NAME}")
  get_filename_component(VISTREL_RC_INTERNAL_NAME "${R_FILE_NAME}" NAME_WE)
  set(rc ${CMAKE_BINARY_DIR}/generated/version/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

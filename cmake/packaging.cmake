# What `cmake --install` lays out and what CPack packs: the release a game developer takes.
#
#   bin/      vistrel(.exe), and what ships beside it in the game's folder: the host library
#             (vistrel_host.dll, libvistrel_host.so) and on Linux the media framework stand-in
#             libvistrel-mediafw.so
#   lib/      what a Windows game links with: vistrel_host.lib and vistrel_host.def
#   include/  vistrel_host.h
#   bindings/csharp/VistrelHost.cs
#   doc/PROTOCOL.md, and LICENSE at the top
#   licenses/ (Windows) the notices of the compiler's runtime linked into the binaries
#
# Packages (in <build>/packages): vistrel-<version>-windows-x86.zip from the 32-bit Windows build,
# vistrel-<version>-linux-x86_64.tar.gz from the Linux build, and from a 64-bit Windows build, which
# holds only the host library for 64-bit games, vistrel-<version>-windows-x64-host.zip.
# scripts/package.sh builds and checks them.
#
# Run at the end of the top-level CMakeLists.txt (a deferred call), when every target exists.

# --- The C host library: filled in where it lands ------------------------------------------------
# The target of the shared library (output name vistrel_host), its header, its module-definition
# file (Windows: what the import library for MSVC is made from) and the C# binding over it. Each is
# installed when it exists: nothing to fill in here while the names stay these.
set(VISTREL_HOST_LIBRARY_TARGET vistrel_host_c)
set(VISTREL_HOST_HEADER ${PROJECT_SOURCE_DIR}/host/include/vistrel_host.h)
set(VISTREL_HOST_DEF ${PROJECT_SOURCE_DIR}/host/vistrel_host.def)
set(VISTREL_CSHARP_BINDING ${PROJECT_SOURCE_DIR}/bindings/csharp/VistrelHost.cs)
# --------------------------------------------------------------------------------------------------

if(TARGET ${VISTREL_HOST_LIBRARY_TARGET})
  # Runtime files in bin/, beside vistrel, where the library looks for it by default and where
  # the game copies them from; on Windows the import library goes to lib/.
  install(TARGETS ${VISTREL_HOST_LIBRARY_TARGET} COMPONENT host
    RUNTIME DESTINATION bin
    LIBRARY DESTINATION bin
    ARCHIVE DESTINATION lib)
  vistrel_version_resource(${VISTREL_HOST_LIBRARY_TARGET}
    DESCRIPTION "vistrel host library" FILE_NAME vistrel_host.dll)
endif()
if(EXISTS "${VISTREL_HOST_HEADER}")
  install(FILES ${VISTREL_HOST_HEADER} DESTINATION include COMPONENT host)
endif()
if(VISTREL_WINDOWS AND EXISTS "${VISTREL_HOST_DEF}")
  install(FILES ${VISTREL_HOST_DEF} DESTINATION lib RENAME vistrel_host.def COMPONENT host)
endif()
if(EXISTS "${VISTREL_CSHARP_BINDING}")
  install(FILES ${VISTREL_CSHARP_BINDING} DESTINATION bindings/csharp COMPONENT host)
endif()

# The program's media framework on Linux: loaded by name from the program's own folder.
if(VISTREL_INSTALL_PROGRAM AND TARGET vistrel_mediafw)
  install(TARGETS vistrel_mediafw LIBRARY DESTINATION bin COMPONENT program)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/docs/PROTOCOL.md DESTINATION doc COMPONENT doc)
# The licence ships when the repository has one.
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT doc)
endif()

# The Windows binaries carry the compiler's runtime inside them (linked statically, so that a
# player's machine needs no DLL of ours but vistrel_host.dll): the mingw-w64 C runtime and its
# threads library, whose licences ask a binary's distribution to carry their notices. The GCC
# support libraries (libstdc++, libgcc) come under the GCC Runtime Library Exception, which asks
# for none. The notices are the toolchain's own copyright file, as the distribution ships it.
set(VISTREL_MINGW_RUNTIME_NOTICE /usr/share/doc/mingw-w64-common/copyright CACHE FILEPATH
  "The licences of the mingw-w64 runtime linked into the Windows binaries")
if(VISTREL_WINDOWS)
  if(NOT EXISTS "${VISTREL_MINGW_RUNTIME_NOTICE}")
    message(FATAL_ERROR "no ${VISTREL_MINGW_RUNTIME_NOTICE}: a Windows package must carry the notices of the runtime "
      "linked into it (Debian: mingw-w64-common); set VISTREL_MINGW_RUNTIME_NOTICE to its licence file")
  endif()
  install(FILES ${VISTREL_MINGW_RUNTIME_NOTICE} DESTINATION licenses RENAME mingw-w64-runtime.txt COMPONENT doc)
endif()

# --- CPack ---------------------------------------------------------------------------------------
if(VISTREL_WINDOWS)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(vistrel_platform windows-x64)
  else()
    set(vistrel_platform windows-x86)
  endif()
  set(CPACK_GENERATOR ZIP)
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" vistrel_platform)
  set(CPACK_GENERATOR TGZ)
endif()
set(vistrel_package_suffix "")
if(NOT VISTREL_INSTALL_PROGRAM OR NOT TARGET vistrel)
  set(vistrel_package_suffix -host)
endif()

set(CPACK_PACKAGE_NAME vistrel)
set(CPACK_PACKAGE_VENDOR vistrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Records a game's screen in the background: clips and recordings as MP4")
set(CPACK_SYSTEM_NAME ${vistrel_platform})
set(CPACK_PACKAGE_FILE_NAME vistrel-${PROJECT_VERSION}-${vistrel_platform}${vistrel_package_suffix})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# One folder of the package's name inside: unpacking never spills files into the current folder.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# A release build's debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

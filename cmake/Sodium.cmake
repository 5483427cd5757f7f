# libsodium for the link's sealing. Linux takes Debian's libsodium-dev; the
# Windows build takes the static library scripts/setup builds with mingw-w64
# from Debian's source package into the cache folder (as Dear ImGui is), so
# the DLL still imports only Windows' own DLLs. Target: kestrel_sodium.

if(WIN32)
  set(KESTREL_SODIUM_DIR "" CACHE PATH "libsodium built for mingw-w64 (scripts/setup fills it)")
  if(NOT KESTREL_SODIUM_DIR)
    set(_path_file "$ENV{HOME}/.cache/kestrel/libsodium-mingw.path")
    if(DEFINED ENV{KESTREL_CACHE})
      set(_path_file "$ENV{KESTREL_CACHE}/libsodium-mingw.path")
    endif()
    if(EXISTS "${_path_file}")
      file(STRINGS "${_path_file}" _dir LIMIT_COUNT 1)
      set(KESTREL_SODIUM_DIR "${_dir}" CACHE PATH "" FORCE)
    endif()
  endif()
  if(NOT EXISTS "${KESTREL_SODIUM_DIR}/lib/libsodium.a")
    message(FATAL_ERROR "libsodium for mingw-w64 not found; run scripts/setup (or set KESTREL_SODIUM_DIR)")
  endif()
  add_library(kestrel_sodium STATIC IMPORTED GLOBAL)
  set_target_properties(kestrel_sodium PROPERTIES
    IMPORTED_LOCATION "${KESTREL_SODIUM_DIR}/lib/libsodium.a"
    INTERFACE_INCLUDE_DIRECTORIES "${KESTREL_SODIUM_DIR}/include"
    # Static: without it the header declares every function as imported from a DLL.
    INTERFACE_COMPILE_DEFINITIONS "SODIUM_STATIC=1"
    # Its random source (RtlGenRandom) lives in advapi32.
    INTERFACE_LINK_LIBRARIES "advapi32")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KESTREL_SODIUM_PC REQUIRED IMPORTED_TARGET GLOBAL libsodium)
  add_library(kestrel_sodium INTERFACE IMPORTED GLOBAL)
  set_target_properties(kestrel_sodium PROPERTIES INTERFACE_LINK_LIBRARIES PkgConfig::KESTREL_SODIUM_PC)
endif()

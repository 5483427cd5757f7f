# zstd for the link's compression: Debian's libzstd-dev on Linux; for the
# Windows build the static library scripts/setup builds with mingw-w64 into
# the cache, so the DLL imports nothing beyond Windows' own DLLs.
if(WIN32)
  set(KESTREL_ZSTD_DIR "" CACHE PATH "zstd built for mingw-w64 (scripts/setup fills it)")
  if(NOT KESTREL_ZSTD_DIR)
    set(_path_file "$ENV{HOME}/.cache/kestrel/zstd-mingw.path")
    if(DEFINED ENV{KESTREL_CACHE})
      set(_path_file "$ENV{KESTREL_CACHE}/zstd-mingw.path")
    endif()
    if(EXISTS "${_path_file}")
      file(STRINGS "${_path_file}" _dir LIMIT_COUNT 1)
      set(KESTREL_ZSTD_DIR "${_dir}" CACHE PATH "" FORCE)
    endif()
  endif()
  if(NOT EXISTS "${KESTREL_ZSTD_DIR}/lib/libzstd.a")
    message(FATAL_ERROR "zstd for mingw-w64 not found; run scripts/setup (or set KESTREL_ZSTD_DIR)")
  endif()
  add_library(kestrel_zstd STATIC IMPORTED GLOBAL)
  set_target_properties(kestrel_zstd PROPERTIES
    IMPORTED_LOCATION "${KESTREL_ZSTD_DIR}/lib/libzstd.a"
    INTERFACE_INCLUDE_DIRECTORIES "${KESTREL_ZSTD_DIR}/include")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KESTREL_ZSTD REQUIRED IMPORTED_TARGET libzstd)
  add_library(kestrel_zstd INTERFACE IMPORTED GLOBAL)
  target_link_libraries(kestrel_zstd INTERFACE PkgConfig::KESTREL_ZSTD)
endif()

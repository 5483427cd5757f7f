# The one version of a release, for scripts/package to name its artefacts.
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/kestrel-version.txt" CONTENT "${PROJECT_VERSION}\n")

# The plugin DLL's version resource (Explorer's file properties), filled from
# the project version so the release zip's name and the DLL always agree.
# Its own object library: our strict warning flags mean nothing to windres.
function(kestrel_version_resource target description)
  enable_language(RC)
  set(KESTREL_RC_DESCRIPTION "${description}")
  configure_file("${CMAKE_SOURCE_DIR}/packaging/version.rc.in"
    "${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc" @ONLY)
  add_library(${target}_version OBJECT "${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc")
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_version>)
endfunction()

# The two font faces, compressed at build time by tools/fontpack into Dear
# ImGui's compressed-TTF form and compiled into kestrel_font_faces.

set(KESTREL_FONT_FIRST_FACE "/usr/share/fonts/opentype/inter/Inter-Regular.otf"
  CACHE FILEPATH "First face (Inter Regular, fonts-inter)")
set(KESTREL_FONT_SECOND_FACE "/usr/share/fonts/truetype/roboto/unhinted/RobotoTTF/Roboto-Medium.ttf"
  CACHE FILEPATH "Second face (Roboto Medium, fonts-roboto-unhinted)")
foreach(_face "${KESTREL_FONT_FIRST_FACE}" "${KESTREL_FONT_SECOND_FACE}")
  if(NOT EXISTS "${_face}")
    message(FATAL_ERROR "Font face ${_face} not found; run scripts/setup")
  endif()
endforeach()

set(_fp "${CMAKE_SOURCE_DIR}/tools/fontpack")
if(CMAKE_CROSSCOMPILING)
  # The packer runs on the build machine, so it is built with its compiler.
  find_program(KESTREL_BUILD_CXX NAMES g++ c++ REQUIRED)
  set(_fontpack "${CMAKE_BINARY_DIR}/tools/fontpack/fontpack-build")
  add_custom_command(OUTPUT "${_fontpack}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/tools/fontpack"
    COMMAND "${KESTREL_BUILD_CXX}" -std=c++20 -O2 -Wall -Wextra -Werror -o "${_fontpack}"
            "${_fp}/fontpack.cpp" "${_fp}/pack_compress.cpp"
    DEPENDS "${_fp}/fontpack.cpp" "${_fp}/pack_compress.cpp" "${_fp}/pack_compress.h"
    COMMENT "Building fontpack for the build machine")
  set(_fontpack_dep "${_fontpack}")
else()
  add_executable(fontpack "${_fp}/fontpack.cpp" "${_fp}/pack_compress.cpp")
  kestrel_strict(fontpack)
  set_target_properties(fontpack PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tools/fontpack")
  set(_fontpack "$<TARGET_FILE:fontpack>")
  set(_fontpack_dep fontpack)
endif()

set(_out "${CMAKE_BINARY_DIR}/assets")
add_custom_command(OUTPUT "${_out}/inter_regular_packed.cpp"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_out}"
  COMMAND "${_fontpack}" "${KESTREL_FONT_FIRST_FACE}" "${_out}/inter_regular_packed.cpp" kInterRegularPacked
  DEPENDS ${_fontpack_dep} "${KESTREL_FONT_FIRST_FACE}" VERBATIM)
add_custom_command(OUTPUT "${_out}/roboto_medium_packed.cpp"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_out}"
  COMMAND "${_fontpack}" "${KESTREL_FONT_SECOND_FACE}" "${_out}/roboto_medium_packed.cpp" kRobotoMediumPacked
  DEPENDS ${_fontpack_dep} "${KESTREL_FONT_SECOND_FACE}" VERBATIM)
add_library(kestrel_font_faces STATIC
  "${_out}/inter_regular_packed.cpp" "${_out}/roboto_medium_packed.cpp")
target_compile_options(kestrel_font_faces PRIVATE -w)

# Dear ImGui 1.86 comes from Debian's source package, unpacked by scripts/setup into
# a cache folder outside the repo; nothing of it is committed.

set(KESTREL_IMGUI_DIR "" CACHE PATH "Dear ImGui 1.86 source folder (scripts/setup fills it)")
if(NOT KESTREL_IMGUI_DIR)
  set(_path_file "$ENV{HOME}/.cache/kestrel/imgui.path")
  if(DEFINED ENV{KESTREL_CACHE})
    set(_path_file "$ENV{KESTREL_CACHE}/imgui.path")
  endif()
  if(EXISTS "${_path_file}")
    file(STRINGS "${_path_file}" _dir LIMIT_COUNT 1)
    set(KESTREL_IMGUI_DIR "${_dir}" CACHE PATH "" FORCE)
  endif()
endif()
if(NOT EXISTS "${KESTREL_IMGUI_DIR}/imgui.h")
  message(FATAL_ERROR "Dear ImGui source not found; run scripts/setup (or set KESTREL_IMGUI_DIR)")
endif()
file(STRINGS "${KESTREL_IMGUI_DIR}/imgui.h" _ver REGEX "#define IMGUI_VERSION +\"")
if(NOT _ver MATCHES "\"1\\.86\"")
  message(FATAL_ERROR "Dear ImGui 1.86 is required, found: ${_ver}")
endif()

set(_im "${KESTREL_IMGUI_DIR}")
add_library(imgui STATIC
  ${_im}/imgui.cpp ${_im}/imgui_draw.cpp ${_im}/imgui_tables.cpp ${_im}/imgui_widgets.cpp)
target_include_directories(imgui SYSTEM PUBLIC ${_im} ${_im}/backends)
# Characters beyond U+FFFF (typed as surrogate pairs) kept whole, not as U+FFFD.
target_compile_definitions(imgui PUBLIC IMGUI_USE_WCHAR32)
# Third-party code: its warnings are not ours to fix.
target_compile_options(imgui PRIVATE -w)

if(WIN32)
  add_library(imgui_win32_dx STATIC
    ${_im}/backends/imgui_impl_win32.cpp
    ${_im}/backends/imgui_impl_dx11.cpp
    ${_im}/backends/imgui_impl_dx12.cpp)
  target_compile_options(imgui_win32_dx PRIVATE -w)
  set_source_files_properties(${_im}/backends/imgui_impl_dx12.cpp PROPERTIES
    COMPILE_OPTIONS "-include;${CMAKE_CURRENT_LIST_DIR}/compat/mingw_d3d12.h")
  target_link_libraries(imgui_win32_dx PUBLIC imgui d3d11 d3d12 dxgi d3dcompiler dwmapi)
elseif(NOT KESTREL_FUZZ)
  find_package(glfw3 3.3 QUIET)
  find_package(OpenGL QUIET)
  if(glfw3_FOUND AND OpenGL_FOUND)
    add_library(imgui_glfw_gl3 STATIC
      ${_im}/backends/imgui_impl_glfw.cpp
      ${_im}/backends/imgui_impl_opengl3.cpp)
    target_compile_options(imgui_glfw_gl3 PRIVATE -w)
    target_link_libraries(imgui_glfw_gl3 PUBLIC imgui glfw OpenGL::GL ${CMAKE_DL_LIBS})
  endif()
endif()

if(NOT WIN32 AND NOT KESTREL_FUZZ)
  # A test-only copy with the test-engine hooks compiled in (tests/ui).
  add_library(imgui_te STATIC
    ${_im}/imgui.cpp ${_im}/imgui_draw.cpp ${_im}/imgui_tables.cpp ${_im}/imgui_widgets.cpp)
  target_include_directories(imgui_te SYSTEM PUBLIC ${_im} ${_im}/backends)
  target_compile_definitions(imgui_te PUBLIC IMGUI_ENABLE_TEST_ENGINE IMGUI_USE_WCHAR32)
  target_compile_options(imgui_te PRIVATE -w)
endif()

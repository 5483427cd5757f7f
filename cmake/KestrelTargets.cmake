# Shared settings for the project's own targets: strict warnings (ours only,
# never third-party code), sanitizers, and the static runtime on Windows.

if(KESTREL_SANITIZE)
  add_compile_options(-fsanitize=${KESTREL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KESTREL_SANITIZE})
endif()

if(WIN32)
  # The DLL and test programs must not depend on mingw's runtime DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
  # COM methods that return a struct (D3D12 descriptor handles, resource
  # descriptions) return it through a hidden pointer on Windows; without this
  # mingw's headers call them with GCC's own convention and get garbage.
  add_compile_definitions(WIDL_EXPLICIT_AGGREGATE_RETURNS)
endif()

# Designated initializers name the members they set and leave the rest at
# their defaults on purpose: GCC 12 would warn of each one left out.
function(kestrel_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wno-missing-field-initializers)
endfunction()

# A static library of our own code in src/<layer>.
function(kestrel_library target)
  add_library(${target} STATIC ${ARGN})
  target_include_directories(${target} PUBLIC "${CMAKE_SOURCE_DIR}/src")
  kestrel_strict(${target})
endfunction()

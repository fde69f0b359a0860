# Compile settings and warnings, linked only by our own targets.
add_library(vell_settings INTERFACE)
target_compile_features(vell_settings INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_definitions(vell_settings INTERFACE $<$<CONFIG:Debug>:_GLIBCXX_ASSERTIONS>)
if(VELL_SANITIZE)
  target_compile_options(vell_settings INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(vell_settings INTERFACE -fsanitize=address,undefined)
endif()

add_library(vell_warnings INTERFACE)
target_compile_options(vell_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wold-style-cast -Wnon-virtual-dtor
  $<$<BOOL:${VELL_WERROR}>:-Werror>)

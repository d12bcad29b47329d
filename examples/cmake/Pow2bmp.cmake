# pow2bmp_add_textures(<target> <folder> [OUTPUT_DIR <dir>])
#
# Adds one custom command per picture in <folder> (files only, no subfolders) that converts it
# with `pow2bmp INPUT OUTPUT`, and a target <target>, built by default, that depends on all the
# outputs. Each output depends only on its own picture (and the converter), so `cmake --build -j`
# converts in parallel and a rebuild converts only the pictures that changed.
#
# Output names follow the converter's own rule: an extension of at most four bytes after the
# last dot becomes ".bmp"; a name without a dot, or with a longer extension, is kept whole.
# Outputs go to OUTPUT_DIR (default: ${CMAKE_CURRENT_BINARY_DIR}/bmp).
#
# The converter is the POW2BMP_EXECUTABLE cache variable, found on the PATH when not set.

find_program(POW2BMP_EXECUTABLE pow2bmp REQUIRED)

function(pow2bmp_add_textures target folder)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "OUTPUT_DIR" "")
  if(NOT arg_OUTPUT_DIR)
    set(arg_OUTPUT_DIR "${CMAKE_CURRENT_BINARY_DIR}/bmp")
  endif()
  get_filename_component(folder "${folder}" ABSOLUTE)
  file(MAKE_DIRECTORY "${arg_OUTPUT_DIR}")
  # CONFIGURE_DEPENDS: a picture added to or removed from the folder re-runs the configure step.
  file(GLOB pictures LIST_DIRECTORIES false CONFIGURE_DEPENDS "${folder}/*")
  set(outputs)
  foreach(picture IN LISTS pictures)
    get_filename_component(name "${picture}" NAME)
    string(REGEX REPLACE "\\.[^.]?[^.]?[^.]?[^.]?$" ".bmp" output_name "${name}")
    set(output "${arg_OUTPUT_DIR}/${output_name}")
    add_custom_command(
      OUTPUT "${output}"
      COMMAND "${POW2BMP_EXECUTABLE}" "${picture}" "${output}"
      DEPENDS "${picture}" "${POW2BMP_EXECUTABLE}"
      COMMENT "pow2bmp ${name}"
      VERBATIM)
    list(APPEND outputs "${output}")
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${outputs})
endfunction()

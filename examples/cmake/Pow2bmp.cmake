# pow2bmp_add_textures(<target> <folder> [OUTPUT_DIR <dir>] [EXPAND])
#
# Adds one custom command per picture in <folder> that converts it with `pow2bmp INPUT OUTPUT`,
# and a target <target>, built by default, that depends on all the outputs. Each output depends
# only on its own picture (and the converter), so `cmake --build -j` converts in parallel and a
# rebuild converts only the pictures that changed.
#
# The pictures and output names are those of a folder run of the converter: every file of
# <folder> counts, hidden ones and links to files too (subfolders and links to folders do not);
# an extension of at most four bytes after the last dot becomes ".bmp", and a name without a
# dot, or with a longer extension, is kept whole. When two pictures make the same output (a.png
# and a.tga), the later name in byte order (a.tga) is converted, as in a folder run, and a status
# message names both. Two differences: special files (FIFOs, sockets) are not told apart from
# files, so the converter refuses them at build time where a folder run skips them; and a name
# holding one of ; # < > \ " | $ : (which CMake or the build tools cannot take in a file name)
# stops the configure step with a message naming it (a backslash reads as "/" there).
# Outputs go to OUTPUT_DIR (default: ${CMAKE_CURRENT_BINARY_DIR}/bmp). EXPAND converts with
# `pow2bmp --expand INPUT OUTPUT`, which also reads palette, grey, 16-bit and the other layouts a
# default conversion refuses.
#
# The converter is the POW2BMP_EXECUTABLE cache variable, found on the PATH when not set.

find_program(POW2BMP_EXECUTABLE pow2bmp REQUIRED)

function(pow2bmp_add_textures target folder)
  cmake_parse_arguments(PARSE_ARGV 2 arg "EXPAND" "OUTPUT_DIR" "")
  set(options)
  if(arg_EXPAND)
    set(options --expand)
  endif()
  if(NOT arg_OUTPUT_DIR)
    set(arg_OUTPUT_DIR "${CMAKE_CURRENT_BINARY_DIR}/bmp")
  endif()
  get_filename_component(folder "${folder}" ABSOLUTE)
  file(MAKE_DIRECTORY "${arg_OUTPUT_DIR}")
  # CONFIGURE_DEPENDS: a picture added to or removed from the folder re-runs the configure step.
  # The names come sorted in byte order, hidden ones included.
  file(GLOB names LIST_DIRECTORIES false RELATIVE "${folder}" CONFIGURE_DEPENDS "${folder}/*")
  set(output_names)
  set(picture_names)
  set(piece "")
  set(refused_characters
      "which holds one of ; # < > \\ \" | $ : (the build tools cannot take them)")
  foreach(name IN LISTS names)
    # A name holding ";" arrives in pieces, none of which names a file.
    if(NOT piece STREQUAL "")
      set(name "${piece};${name}")
    endif()
    if(NOT EXISTS "${folder}/${name}" AND NOT IS_SYMLINK "${folder}/${name}")
      set(piece "${name}")
      continue()
    endif()
    if(IS_DIRECTORY "${folder}/${name}")
      continue()  # a link to a folder
    endif()
    if(NOT piece STREQUAL "" OR name MATCHES "[#<>\"|$:]")
      message(FATAL_ERROR "pow2bmp_add_textures: CMake cannot take the name ${folder}/${name}, "
                          "${refused_characters}: rename it, or convert the folder with a "
                          "folder run")
    endif()
    string(REGEX REPLACE "\\.[^.]?[^.]?[^.]?[^.]?$" ".bmp" output_name "${name}")
    list(FIND output_names "${output_name}" index)
    if(index EQUAL -1)
      list(APPEND output_names "${output_name}")
      list(APPEND picture_names "${name}")
    else()
      list(GET picture_names ${index} earlier)
      message(STATUS "pow2bmp: ${earlier} and ${name} both make ${output_name}: ${name} is "
                     "converted, as in a folder run")
      list(REMOVE_AT picture_names ${index})
      list(INSERT picture_names ${index} "${name}")
    endif()
  endforeach()
  if(NOT piece STREQUAL "")
    message(FATAL_ERROR "pow2bmp_add_textures: CMake cannot take a name in ${folder} that "
                        "begins \"${piece}\", ${refused_characters}: rename it, or convert the "
                        "folder with a folder run")
  endif()
  set(outputs)
  foreach(output_name name IN ZIP_LISTS output_names picture_names)
    set(picture "${folder}/${name}")
    set(output "${arg_OUTPUT_DIR}/${output_name}")
    add_custom_command(
      OUTPUT "${output}"
      COMMAND "${POW2BMP_EXECUTABLE}" ${options} "${picture}" "${output}"
      DEPENDS "${picture}" "${POW2BMP_EXECUTABLE}"
      COMMENT "pow2bmp ${name}"
      VERBATIM)
    list(APPEND outputs "${output}")
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${outputs})
endfunction()

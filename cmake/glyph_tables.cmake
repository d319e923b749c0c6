# Turns the artwork in data/ into C++ constant tables at build time, with CMake
# alone, so a fresh system needs no script interpreter beyond CMake.
#
# Sets GLYPH_TABLE_SOURCES: the generated glyph set (compiled into the core
# library) and the palette include that src/image/styles.cpp reads.

set(GLYPH_DATA_DIR ${CMAKE_CURRENT_SOURCE_DIR}/data)
set(GLYPH_GENERATED_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated)
set(GLYPH_CONVERTER ${CMAKE_CURRENT_LIST_DIR}/glyph_data_to_cpp.cmake)

set(GLYPH_DATA_FILES)
foreach(style 0 1 2 3)
  list(APPEND GLYPH_DATA_FILES
    ${GLYPH_DATA_DIR}/style${style}_glyphs.txt
    ${GLYPH_DATA_DIR}/style${style}_palette.txt)
endforeach()

add_custom_command(
  OUTPUT ${GLYPH_GENERATED_DIR}/glyph_set.cpp ${GLYPH_GENERATED_DIR}/style_palettes.inc
  COMMAND ${CMAKE_COMMAND}
          -DDATA_DIR=${GLYPH_DATA_DIR}
          -DOUT_DIR=${GLYPH_GENERATED_DIR}
          -P ${GLYPH_CONVERTER}
  DEPENDS ${GLYPH_DATA_FILES} ${GLYPH_CONVERTER}
  COMMENT "Building the glyph set and style palettes from data/"
  VERBATIM)

set(GLYPH_TABLE_SOURCES
  ${GLYPH_GENERATED_DIR}/glyph_set.cpp
  ${GLYPH_GENERATED_DIR}/style_palettes.inc)

# styles.cpp includes the palettes by bare name from the build tree.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/src/image/styles.cpp PROPERTIES
  INCLUDE_DIRECTORIES ${GLYPH_GENERATED_DIR}
  OBJECT_DEPENDS ${GLYPH_GENERATED_DIR}/style_palettes.inc)
set_source_files_properties(${GLYPH_GENERATED_DIR}/style_palettes.inc PROPERTIES
  HEADER_FILE_ONLY ON)

# Enlarged sheet of every digit for docs/styles.png; never part of the default
# build, and left out where libpng is missing.
find_library(GLYPH_SHEET_PNG_LIBRARY png)
find_library(GLYPH_SHEET_Z_LIBRARY z)
if(GLYPH_SHEET_PNG_LIBRARY AND GLYPH_SHEET_Z_LIBRARY)
  add_executable(glyph_sheet EXCLUDE_FROM_ALL ${CMAKE_CURRENT_SOURCE_DIR}/tools/glyph_sheet.cpp)
  # gd's PNG writer comes from the same static archive and needs libpng after it.
  target_link_libraries(glyph_sheet PRIVATE lumicount_core ${GD_STATIC_LIBRARY}
    ${GLYPH_SHEET_PNG_LIBRARY} ${GLYPH_SHEET_Z_LIBRARY} m)
  add_custom_target(styles_png
    COMMAND glyph_sheet ${CMAKE_CURRENT_SOURCE_DIR}/docs/styles.png
    DEPENDS glyph_sheet
    COMMENT "Drawing docs/styles.png from the built tables"
    VERBATIM)
endif()

# SPDX-License-Identifier: Apache-2.0
# The library's layers, each its own static library. A layer sees its own
# headers, the public headers in include/, and the headers of the layers
# it links, nothing else: so an include that runs up a floor (or sideways
# to a layer it does not link) fails to build.
#
# Sources include headers by their folder ("queue/ring.h"). The repository
# root is on no layer's include path; each layer gets a directory of its
# own in the build tree that holds one link, named after the folder,
# to that folder.

# The include directory that exposes the source folder `folder` alone.
function(histfeed_folder_include_root folder out)
  set(root ${PROJECT_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${root})
  file(REMOVE ${root}/${folder})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# histfeed_add_layer(<folder> [LINKS <layer targets>...]): the layer of the
# calling folder, as target histfeed_<folder>, from the sources the folder
# adds with target_sources.
function(histfeed_add_layer folder)
  cmake_parse_arguments(LAYER "" "" "LINKS" ${ARGN})
  set(target histfeed_${folder})
  add_library(${target} STATIC)
  histfeed_folder_include_root(${folder} root)
  target_include_directories(${target} PUBLIC ${root} ${PROJECT_SOURCE_DIR}/include)
  # The shipped library is built from these objects: position independent,
  # with only the exported functions visible.
  set_target_properties(${target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_compile_definitions(${target} PRIVATE HISTFEED_BUILDING_LIBRARY INTERFACE HISTFEED_STATIC)
  target_link_libraries(${target} PUBLIC ${LAYER_LINKS})
  histfeed_apply_warnings(${target})
endfunction()

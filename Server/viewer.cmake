# The scan page's deep-zoom viewer: OpenSeadragon from the pinned npm package (BSD-3-Clause, its
# licence is served beside it), and the page's own script and style, copied into the server's
# resources under :/viewer/. No network at run time, no build step beyond the copy.
set(osd_dir ${CMAKE_CURRENT_LIST_DIR}/viewer/node_modules/openseadragon)
if(NOT EXISTS ${osd_dir}/build/openseadragon/openseadragon.min.js)
    message(FATAL_ERROR "The viewer package is missing: run scripts/install-deps first")
endif()
set(viewer_out ${CMAKE_CURRENT_BINARY_DIR}/viewer)
set(viewer_files)
macro(viewer_copy source target)
    configure_file(${source} ${viewer_out}/${target} COPYONLY)
    list(APPEND viewer_files ${viewer_out}/${target})
endmacro()
viewer_copy(${osd_dir}/build/openseadragon/openseadragon.min.js openseadragon.min.js)
viewer_copy(${osd_dir}/LICENSE.txt LICENSE-openseadragon.txt)
file(GLOB osd_images RELATIVE ${osd_dir}/build/openseadragon/images
    ${osd_dir}/build/openseadragon/images/*.png)
foreach(image ${osd_images})
    viewer_copy(${osd_dir}/build/openseadragon/images/${image} images/${image})
endforeach()
viewer_copy(${CMAKE_CURRENT_LIST_DIR}/viewer/viewer.js viewer.js)
viewer_copy(${CMAKE_CURRENT_LIST_DIR}/viewer/viewer.css viewer.css)
qt_add_resources(tavrona_core "tavrona_viewer" PREFIX "/viewer" BASE ${viewer_out}
    FILES ${viewer_files})

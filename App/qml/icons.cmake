# Icons of the UI, from the pinned ionicons npm package (MIT, see icons/LICENSE-ionicons.txt),
# copied into the resources under :/icons/.
set(MIREVA_ICONS
    play camera stop add-circle-sharp reload pause square backspace checkmark barcode
    cloud-upload caret-forward caret-down sync options save open)
set(icon_source_dir ${CMAKE_CURRENT_LIST_DIR}/icons/node_modules/ionicons/dist/svg)
if(NOT EXISTS ${icon_source_dir})
    message(FATAL_ERROR "The icon package is missing: run scripts/install-deps first")
endif()
set(icon_files)
foreach(icon ${MIREVA_ICONS})
    configure_file(${icon_source_dir}/${icon}.svg ${CMAKE_CURRENT_BINARY_DIR}/icons/${icon}.svg COPYONLY)
    list(APPEND icon_files ${CMAKE_CURRENT_BINARY_DIR}/icons/${icon}.svg)
endforeach()
qt_add_resources(mireva_ui "mireva_icons" PREFIX "/" BASE ${CMAKE_CURRENT_BINARY_DIR} FILES ${icon_files})

# The plug-in contract header; the camera host runs moc over its gadgets for the program.
target_sources(mireva_camera PRIVATE ${CMAKE_CURRENT_LIST_DIR}/cameraplugin.h)

# The plug-in contract header; the program's build runs moc over its gadgets.
target_sources(mireva PRIVATE ${CMAKE_CURRENT_LIST_DIR}/cameraplugin.h)

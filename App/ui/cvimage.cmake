# The image item that shows OpenCV matrices in QML (element CvImage of the module Mireva 1.0).
target_sources(mireva_ui PRIVATE ${CMAKE_CURRENT_LIST_DIR}/cvimage.h ${CMAKE_CURRENT_LIST_DIR}/cvimage.cpp)

mireva_add_test(tst_cvimage mosaic SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_cvimage.cpp LIBS mireva_ui)

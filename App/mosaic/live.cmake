# The live mosaic: image helpers, grid, registration and the live builder with its facade.
target_sources(mireva PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/imageio.h ${CMAKE_CURRENT_LIST_DIR}/imageio.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mosaicgrid.h ${CMAKE_CURRENT_LIST_DIR}/mosaicgrid.cpp
    ${CMAKE_CURRENT_LIST_DIR}/phasecorrelator.h ${CMAKE_CURRENT_LIST_DIR}/phasecorrelator.cpp)

mireva_add_test(tst_imageio mosaic SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_imageio.cpp LIBS mireva)
mireva_add_test(tst_grid mosaic SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_grid.cpp LIBS mireva)

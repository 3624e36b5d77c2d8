# The live mosaic: image helpers, grid, registration and the live builder with its facade.
target_sources(mireva PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/imageio.h ${CMAKE_CURRENT_LIST_DIR}/imageio.cpp
    ${CMAKE_CURRENT_LIST_DIR}/imageshift.cpp ${CMAKE_CURRENT_LIST_DIR}/imagebuffers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mosaicgrid.h ${CMAKE_CURRENT_LIST_DIR}/mosaicgrid.cpp
    ${CMAKE_CURRENT_LIST_DIR}/phasecorrelator.h ${CMAKE_CURRENT_LIST_DIR}/phasecorrelator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/smallbuilder.h ${CMAKE_CURRENT_LIST_DIR}/smallbuilder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/smallbuilderfeed.cpp
    ${CMAKE_CURRENT_LIST_DIR}/smallbuilderthread.h ${CMAKE_CURRENT_LIST_DIR}/smallbuilderthread.cpp)

mireva_add_test(tst_imageio mosaic SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_imageio.cpp LIBS mireva)
mireva_add_test(tst_grid mosaic SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_grid.cpp LIBS mireva)
mireva_add_test(tst_smallbuilder mosaic SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_smallbuilder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/slidetexture.h LIBS mireva)
mireva_add_test(tst_smallbuilder_tour mosaic SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_smallbuilder_tour.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/tourrun.h ${CMAKE_CURRENT_LIST_DIR}/tests/slidetexture.h LIBS mireva)
# The simulated microscope's tour as well, where the simulator is part of the build (it is added
# after App/, hence the deferred check).
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL mireva_live_tour_with_simulator)
function(mireva_live_tour_with_simulator)
    if(TARGET vmbsim_core)
        target_link_libraries(tst_smallbuilder_tour PRIVATE vmbsim_core)
        target_compile_definitions(tst_smallbuilder_tour PRIVATE MIREVA_HAVE_VMBSIM)
    endif()
endfunction()
mireva_add_test(tst_smallbuilderthread mosaic SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_smallbuilderthread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/slidetexture.h LIBS mireva)
# Registration and the frame shift reproduce OpenCV's arithmetic to the last bit: no fused
# multiply-adds where the source has a multiply and an add.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/phasecorrelator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/imageshift.cpp TARGET_DIRECTORY mireva
    PROPERTIES COMPILE_OPTIONS -ffp-contract=off)

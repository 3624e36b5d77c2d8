# The live mosaic: image helpers, grid, registration and the live builder with its facade.
target_sources(mireva_mosaic PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/imageio.h ${CMAKE_CURRENT_LIST_DIR}/imageio.cpp
    ${CMAKE_CURRENT_LIST_DIR}/imageshift.cpp ${CMAKE_CURRENT_LIST_DIR}/imagebuffers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mosaicgrid.h ${CMAKE_CURRENT_LIST_DIR}/mosaicgrid.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fftplans.h ${CMAKE_CURRENT_LIST_DIR}/fftplans.cpp
    ${CMAKE_CURRENT_LIST_DIR}/phasecorrelator.h ${CMAKE_CURRENT_LIST_DIR}/phasecorrelator.cpp
    ${CMAKE_CURRENT_LIST_DIR}/livecounters.h ${CMAKE_CURRENT_LIST_DIR}/livecounters.cpp
    ${CMAKE_CURRENT_LIST_DIR}/smallbuilder.h ${CMAKE_CURRENT_LIST_DIR}/smallbuilder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/smallbuilderfeed.cpp
    ${CMAKE_CURRENT_LIST_DIR}/smallbuilderthread.h ${CMAKE_CURRENT_LIST_DIR}/smallbuilderthread.cpp)
# The tests build their fixtures with OpenCV themselves.
set(live_test_libs mireva_mosaic opencv_imgproc opencv_imgcodecs)
set(live_tests ${CMAKE_CURRENT_LIST_DIR}/tests)
mireva_add_test(tst_imageio mosaic SOURCES ${live_tests}/tst_imageio.cpp LIBS ${live_test_libs})
mireva_add_test(tst_fftplans mosaic SOURCES ${live_tests}/tst_fftplans.cpp LIBS ${live_test_libs})
mireva_add_test(tst_grid mosaic SOURCES ${live_tests}/tst_grid.cpp LIBS ${live_test_libs})
mireva_add_test(tst_smallbuilder mosaic
    SOURCES ${live_tests}/tst_smallbuilder.cpp ${live_tests}/slidetexture.h
    LIBS ${live_test_libs})
mireva_add_test(tst_smallbuilder_tour mosaic
    SOURCES ${live_tests}/tst_smallbuilder_tour.cpp ${live_tests}/tourrun.h
            ${live_tests}/slidetexture.h
    LIBS ${live_test_libs})
# The simulated microscope's tour as well, where the simulator is part of the build (it is added
# after App/, hence the deferred check).
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL mireva_live_tour_with_simulator)
function(mireva_live_tour_with_simulator)
    if(TARGET vmbsim_core)
        target_link_libraries(tst_smallbuilder_tour PRIVATE vmbsim_core)
        target_compile_definitions(tst_smallbuilder_tour PRIVATE MIREVA_HAVE_VMBSIM)
    endif()
endfunction()
mireva_add_test(tst_smallbuilderthread mosaic
    SOURCES ${live_tests}/tst_smallbuilderthread.cpp ${live_tests}/slidetexture.h
    LIBS ${live_test_libs})
# The frame shift reproduces OpenCV's arithmetic to the last bit: no fused multiply-adds where
# the source has a multiply and an add.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/imageshift.cpp TARGET_DIRECTORY mireva_mosaic
    PROPERTIES COMPILE_OPTIONS -ffp-contract=off)

# The simulated microscope on its own: image transforms, slide, optics, stage, features and
# acquisition, against references computed in the tests.
mireva_add_test(tst_vmbsim varnoke
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_vmbsim.cpp
    LIBS vmbsim_core VmbSim opencv_core opencv_imgproc opencv_imgcodecs)

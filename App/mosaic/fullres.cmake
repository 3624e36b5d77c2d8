# The full-resolution builder: cell store, alignment, scan package and its facade.
target_sources(mireva_mosaic PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/imagecache.h
    ${CMAKE_CURRENT_LIST_DIR}/zipwriter.h ${CMAKE_CURRENT_LIST_DIR}/zipwriter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/scanfolder.h ${CMAKE_CURRENT_LIST_DIR}/scanfolder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/scanjournal.h ${CMAKE_CURRENT_LIST_DIR}/scanjournal.cpp
    ${CMAKE_CURRENT_LIST_DIR}/bigbuilder.h ${CMAKE_CURRENT_LIST_DIR}/bigbuilder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/bigbuilderthread.h ${CMAKE_CURRENT_LIST_DIR}/bigbuilderthread.cpp)

# The tests build their fixtures and read the archives back themselves.
foreach(test tst_bigbuilder tst_bigbuilder_package tst_bigbuilderthread)
    mireva_add_test(${test} fullres SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/${test}.cpp
        LIBS mireva_mosaic opencv_imgproc opencv_imgcodecs PkgConfig::LIBZIP)
endforeach()

# The scan folders and their journals, and builders taken up from them.
mireva_add_test(tst_scanfolder fullres SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/tst_scanfolder.cpp
    LIBS mireva_mosaic opencv_imgproc opencv_imgcodecs PkgConfig::LIBZIP Qt6::Sql)

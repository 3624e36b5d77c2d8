target_sources(mireva PRIVATE ${CMAKE_CURRENT_LIST_DIR}/crashreport.h ${CMAKE_CURRENT_LIST_DIR}/crashreport.cpp)

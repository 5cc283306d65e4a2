# The program's crash handler (included from app/CMakeLists.txt).
add_library(app_crash STATIC ${CMAKE_CURRENT_LIST_DIR}/crash_handler.cpp)
target_include_directories(app_crash PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(app_crash PUBLIC platform_crash platform_sync platform_text report_track)

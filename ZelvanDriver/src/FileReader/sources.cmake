target_sources(ZelvanDriver PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/BookmarkFile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/BookmarkIndex.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RawFileReader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RawFileCut.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RawFileExport.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Mp4FileReader.cpp
)
# The MP4 frame reader decodes through FFmpeg (Debian's libav* development packages).
if(NOT TARGET PkgConfig::ZELVAN_FFMPEG)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZELVAN_FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale)
endif()
target_link_libraries(ZelvanDriver PRIVATE PkgConfig::ZELVAN_FFMPEG)

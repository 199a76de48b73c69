# Video encoding over FFmpeg (Debian's libav* development packages).
if(NOT TARGET PkgConfig::ZELVAN_FFMPEG)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZELVAN_FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavformat libavutil libswscale)
endif()
target_sources(ZelvanDriver PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/DataToVideoConverter.cpp
)
target_link_libraries(ZelvanDriver PRIVATE PkgConfig::ZELVAN_FFMPEG)

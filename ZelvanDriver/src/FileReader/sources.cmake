target_sources(ZelvanDriver PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/BookmarkFile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RawFileReader.cpp
)

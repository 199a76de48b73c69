target_sources(ZelvanDriver PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/DvsFileRecorder.cpp
)

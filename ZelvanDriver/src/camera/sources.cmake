target_sources(ZelvanDriver PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/DvsCameraPrivate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DvsEventCamera.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DvsCameraManager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DvsCameraTools.cpp
)

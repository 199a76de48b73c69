target_sources(ZelvanDriver PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/Sensor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/EventSensors.cpp
    ${CMAKE_CURRENT_LIST_DIR}/CameraTools.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tables/Imx636RegisterTable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tables/Genx320RegisterTable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tables/FusionBoardRegisterTable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tables/RegisterSequences.cpp
)

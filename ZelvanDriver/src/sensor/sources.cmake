target_sources(ZelvanDriver PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/Sensor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/EventSensors.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tools/AntiFlickerTools.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tools/ApsCtrlTools.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tools/BiasTools.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tools/EventRateControlTools.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tools/EventTrailFilterTools.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tools/RoiTools.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tools/SyncTools.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tools/TriggerInTools.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tables/Imx636RegisterTable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tables/Genx320RegisterTable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tables/FusionBoardRegisterTable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tables/RegisterSequences.cpp
)

target_sources(ZelvanDriver PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/Sensor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ReadoutSensor.cpp
)

# The service's MQTT side (libmosquitto); its tests against a real
# mosquitto broker are in tests/service. Included from
# service/CMakeLists.txt. Windows has no libmosquitto from Debian: there
# the publisher is one that refuses to start.
if(WIN32)
    add_library(quorvan_mqtt STATIC ${CMAKE_CURRENT_LIST_DIR}/CMqttPublisherAbsent.cpp)
    target_include_directories(quorvan_mqtt PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(quorvan_mqtt PUBLIC quorvan_service)
    quorvan_warnings(quorvan_mqtt)
    return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(MOSQUITTO REQUIRED IMPORTED_TARGET GLOBAL libmosquitto)

add_library(quorvan_mqtt STATIC
    ${CMAKE_CURRENT_LIST_DIR}/CMqttPublisher.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MqttCredentials.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MqttMessages.cpp
)
target_include_directories(quorvan_mqtt PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(quorvan_mqtt PUBLIC quorvan_service Threads::Threads
                                    PRIVATE PkgConfig::MOSQUITTO)
quorvan_warnings(quorvan_mqtt)

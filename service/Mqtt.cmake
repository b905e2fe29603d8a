# The service's MQTT side (libmosquitto) and its tests against a real
# mosquitto broker. Included from service/CMakeLists.txt.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MOSQUITTO REQUIRED IMPORTED_TARGET GLOBAL libmosquitto)

add_library(quorvan_mqtt STATIC
    ${CMAKE_CURRENT_LIST_DIR}/CMqttPublisher.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MqttCredentials.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MqttMessages.cpp
)
target_include_directories(quorvan_mqtt PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(quorvan_mqtt PUBLIC quorvan_core Threads::Threads
                                    PRIVATE PkgConfig::MOSQUITTO)
quorvan_warnings(quorvan_mqtt)

if(QUORVAN_TESTS)
    find_package(GTest REQUIRED)
    include(GoogleTest)
    set(mqtt_tests ${PROJECT_SOURCE_DIR}/tests/service)

    # A publisher in a process of its own, for the test to kill.
    add_executable(mqtt_will_helper ${mqtt_tests}/MqttWillHelper.cpp)
    target_link_libraries(mqtt_will_helper PRIVATE quorvan_mqtt)
    quorvan_warnings(mqtt_will_helper)

    add_executable(mqtt_test
        ${mqtt_tests}/MqttPublisherTest.cpp
        ${mqtt_tests}/MqttBroker.cpp
        ${mqtt_tests}/MqttProbe.cpp
    )
    target_include_directories(mqtt_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
    target_link_libraries(mqtt_test PRIVATE quorvan_mqtt PkgConfig::MOSQUITTO GTest::gtest_main)
    target_compile_definitions(mqtt_test PRIVATE
        QUORVAN_MQTT_WILL_HELPER="$<TARGET_FILE:mqtt_will_helper>")
    add_dependencies(mqtt_test mqtt_will_helper)
    quorvan_warnings(mqtt_test)
    gtest_discover_tests(mqtt_test TEST_PREFIX "service." PROPERTIES LABELS service)
endif()

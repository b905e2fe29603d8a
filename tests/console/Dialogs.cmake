# The parameter and password dialogs and their input rules. Included from
# CMakeLists.txt after QUORVAN_CONSOLE_TEST_ENV is set.
add_executable(dialogs_test DialogsTest.cpp)
target_link_libraries(dialogs_test PRIVATE quorvan_console Qt6::Test GTest::gtest)
quorvan_warnings(dialogs_test)
gtest_discover_tests(dialogs_test TEST_PREFIX console. DISCOVERY_MODE PRE_TEST
                     PROPERTIES LABELS console ENVIRONMENT "${QUORVAN_CONSOLE_TEST_ENV}")

# Saves both dialogs, with their refusal boxes, as PNGs: grab_dialogs DIR
add_executable(grab_dialogs GrabDialogs.cpp)
target_link_libraries(grab_dialogs PRIVATE quorvan_console)
quorvan_warnings(grab_dialogs)

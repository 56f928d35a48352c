# The S5 USB support driver's host suites, its boot report and its image.
file(GLOB USB_SUPPORT_S5_SMM_TESTS CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/UsbSupportS5Smm*.cpp)
add_executable(UsbSupportS5SmmTests ${USB_SUPPORT_S5_SMM_TESTS})
target_link_libraries(UsbSupportS5SmmTests PRIVATE UsbSupportS5SmmHost Simulator GTest::gtest
                                                   GTest::gtest_main)
target_compile_options(UsbSupportS5SmmTests PRIVATE ${BOARD_HOST_WARNINGS})
board_test_suite(UsbSupportS5SmmTests)
add_test(NAME UsbSupportS5SmmTests COMMAND UsbSupportS5SmmTests)
set_tests_properties(UsbSupportS5SmmTests PROPERTIES LABELS host)

add_test(NAME SmmBootReport COMMAND boardsim --smm)
set_tests_properties(SmmBootReport PROPERTIES LABELS host
                     PASS_REGULAR_EXPRESSION "SMM simulator errors: none")

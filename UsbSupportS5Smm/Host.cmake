# Host build of the SMM driver sources, linked over the simulator by the
# tests and boardsim.
file(GLOB USB_SUPPORT_S5_SMM_HOST_SOURCES CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/UsbSupportS5Smm/*.cpp)
add_library(UsbSupportS5SmmHost STATIC ${USB_SUPPORT_S5_SMM_HOST_SOURCES})
target_include_directories(UsbSupportS5SmmHost PUBLIC ${PROJECT_SOURCE_DIR}/Include
                                                      ${PROJECT_SOURCE_DIR}/UsbSupportS5Smm)
target_compile_options(UsbSupportS5SmmHost PRIVATE ${BOARD_HOST_WARNINGS})

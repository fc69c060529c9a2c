tessary_add_bench(send_bench SOURCES send.cpp ${PROJECT_SOURCE_DIR}/tests/support/RawFrameReceiver.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/RawClient.cpp ${PROJECT_SOURCE_DIR}/tests/support/FrameBytes.cpp
    LIBS tessary_busd_core)

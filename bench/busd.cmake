tessary_add_bench(busd_bench SOURCES busd.cpp ${PROJECT_SOURCE_DIR}/tests/support/RawClient.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/FrameBytes.cpp LIBS tessary_busd_core)

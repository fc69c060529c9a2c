tessary_add_bench(busd_bench SOURCES busd.cpp ${PROJECT_SOURCE_DIR}/tests/server/RawFrames.cpp
    LIBS tessary_busd_core)

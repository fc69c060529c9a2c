tessary_add_bench(frame_io_bench SOURCES frame_io.cpp)

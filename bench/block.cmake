tessary_add_bench(block_bench SOURCES block.cpp)

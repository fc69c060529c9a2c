tessary_add_bench(busd_bench SOURCES busd.cpp LIBS tessary_testkit tessary_busd_core)

tessary_add_bench(send_bench SOURCES send.cpp LIBS tessary_testkit tessary_busd_core)

tessary_add_bench(blob_bench SOURCES blob.cpp LIBS tessary_busd_core)

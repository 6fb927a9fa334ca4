# The fuzz targets and the name prefixes each one feeds the library.
fuzz_target(fuzz_names fuzz_names.cc)
fuzz_target(fuzz_header fuzz_file.cc [[FUZZ_PREFIXES=""]])

// ASan's defaults for every fuzz target (linked into each one).
// ASan keeps 256 MB of freed memory from reuse by default: each input's
// allocations then land on memory the cache has long lost, which halved the
// targets' speed. A use after free within one input is still caught.
extern "C" const char *__asan_default_options() { return "quarantine_size_mb=16"; }

// Default sanitizer options of the test binaries (linked only into sanitizer builds). Mesa's
// driver keeps a few allocations for the life of the process; the suppressions file names them.
//
// The sanitizer's own record of the thread-local blocks of libraries loaded at run time (the GL
// driver's) goes wrong with this C library: now and then it holds a block with nonsense bounds,
// and the leak check at exit crashes scanning it ("Tracer caught signal 11"). Without that record
// those blocks go unscanned, which could only report more leaks, never hide one.
extern "C" {
const char* __asan_default_options() { return "detect_leaks=1:strict_string_checks=1:" KELVOR_ASAN_PROGRAM_OPTIONS; }
const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
const char* __lsan_default_options() { return "suppressions=" KELVOR_LSAN_SUPPRESSIONS ":print_suppressions=0"; }
}

// Default sanitizer options of the test binaries (linked only into sanitizer builds). Mesa's
// driver keeps a few allocations for the life of the process; the suppressions file names them.
extern "C" {
const char* __asan_default_options() { return "detect_leaks=1:strict_string_checks=1"; }
const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
const char* __lsan_default_options() { return "suppressions=" KELVOR_LSAN_SUPPRESSIONS ":print_suppressions=0"; }
}

// Linked into the program in the sanitizer build only (TANDRO_SANITIZE).
// Built in rather than given through LSAN_OPTIONS, so that it also holds
// for the tests that start the program with an emptied environment.
extern "C" const char *__lsan_default_suppressions()
{
    // self_relocate keeps the alternate root's path for the rest of the
    // process: the process either runs the program again or ends.
    return "leak:alternate_root\n";
}

// A suppressed leak must not add lines to what the tests compare.
extern "C" const char *__lsan_default_options()
{
    return "print_suppressions=0";
}

/* A shared object for the loader tests: opened and closed at run time, with exported functions. */
int crash_test_plugin_answer(void) { return 42; }

/* An exported name of 265 bytes whose 255-byte cut falls inside the two-byte "\xc3\xa9" (bytes 254 and 255).
 */
int crash_test_plugin_long_name(void) __asm__(
    "crash_test_plugin_"
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaa\xc3\xa9_and_more");
int crash_test_plugin_long_name(void) { return 43; }

/* Stores through a null pointer (in assembly, so that no compiler or sanitizer turns it into anything
   else): the crash tests' fault inside a loaded library. */
int* volatile crash_test_plugin_target = 0;
void crash_test_plugin_crash(void) {
  __asm__ volatile("movl $1, (%0)" : : "r"(crash_test_plugin_target) : "memory");
}

/* A shared object for the loader tests: opened and closed at run time, with one exported function. */
int crash_test_plugin_answer(void) { return 42; }

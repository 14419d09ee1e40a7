// A helper stand-in the loader cannot start: it needs a library that is not
// where it runs.
extern "C" int tavrino_test_missing_library();

int main() { return tavrino_test_missing_library(); }

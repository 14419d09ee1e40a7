// A library that the program beside it needs and that the tests never ship.
extern "C" int tavrino_test_missing_library() { return 0; }

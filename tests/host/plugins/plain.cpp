// An outside library in the program folder: no MultiViewDll, not a tool.
extern "C" int corvane_test_plain_function(int x) { return x + 1; }

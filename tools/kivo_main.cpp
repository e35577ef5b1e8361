// The engine's main as kivo_main, for the harness that wraps it.
#define main kivo_main
#include "../src/main.cpp"

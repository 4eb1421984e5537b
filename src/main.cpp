// Process entry: everything lives in the core library so the tests can reach it.
#include "run/run_driver.hpp"

int main(int argc, char** argv) { return orvane::run_driver(argc, argv); }

// Process entry of orvane-align: everything lives in its library so the tests can reach it.
#include "align/align_driver.hpp"

int main(int argc, char** argv) { return orvane::align::align_driver(argc, argv); }

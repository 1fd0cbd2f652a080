#include "cli/driver.h"

int main(int argc, char** argv) { return mirt::run_driver(argc, argv); }

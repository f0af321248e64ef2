#include "core/startup.h"

int main(int argc, char** argv) { return runAgent(argc, argv); }

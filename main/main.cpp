#include "main/vexor.h"

int main(int argc, char** argv) { return vexor_main(argc, argv); }

#include "tool/zub.h"

int main(int argc, char** argv) { zub::RunZub(argc, argv); }

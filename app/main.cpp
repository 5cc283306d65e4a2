#include "app/entry.h"

int main(int argc, char** argv) { return QivMain(argc, argv); }

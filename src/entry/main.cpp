// main.cpp - the process entry; all work is in entry_run.
#include "entry/entry.h"

int main(int argc, char **argv) { return entry_run(argc, argv); }

// Entry point of torla.
#include "run/run.h"

int main(int argc, char** argv) { return torla::run_torla(argc, argv); }

#include "app/app.h"

// The command line is ignored: all input comes from the keyboard.
int main() { return run_quorvex(); }

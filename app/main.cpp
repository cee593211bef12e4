#include "app/app.h"

// Without arguments the program is the interactive menu; with a command it runs unattended.
int main(int argc, char** argv) { return argc > 1 ? run_batch(argc, argv) : run_menu(); }

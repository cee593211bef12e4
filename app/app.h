// The interactive program: start-up, the main menu loop and shutdown.
#pragma once

// Runs the program on std::cin / std::cout and returns its exit status (always 0).
int run_quorvex();

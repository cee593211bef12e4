// The program's two front ends: the interactive menu, and the batch commands for cron jobs,
// timers, pipelines and fleet tools.
#pragma once

// The interactive program on std::cin / std::cout: start-up, the main menu loop and shutdown.
// Returns its exit status (always 0).
int run_menu();

// One batch command (`quorvex scan|update|clean|autostart ...`): never prompts or reads standard
// input. Returns the exit status: 0 nothing found and nothing failed, 1 a finding, 2 an error.
int run_batch(int argc, char** argv);

// The tabulate sub-command.
#pragma once

int tabulate_main(int argc, char** argv);

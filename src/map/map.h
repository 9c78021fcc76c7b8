// The map sub-command.
#pragma once

int map_main(int argc, char** argv);

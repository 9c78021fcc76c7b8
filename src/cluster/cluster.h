// The cluster sub-command.
#pragma once

int cluster_main(int argc, char** argv);

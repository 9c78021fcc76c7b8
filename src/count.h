// The count sub-command.
#pragma once

int count_main(int argc, char** argv);

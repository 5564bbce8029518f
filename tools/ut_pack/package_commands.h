// ut_pack's package commands: create, list, verify, extract and scramble.
// Each takes the arguments after the command's name and returns the exit
// status.
#pragma once

int cmd_create(int argc, char** argv);
int cmd_list(int argc, char** argv);
int cmd_verify(int argc, char** argv);
int cmd_extract(int argc, char** argv);
int cmd_scramble(int argc, char** argv);

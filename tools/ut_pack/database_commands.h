// ut_pack's database commands: db-scramble, db-status and describe. Each
// takes the arguments after the command's name and returns the exit status.
#pragma once

int cmd_db_scramble(int argc, char** argv);
int cmd_db_status(int argc, char** argv);
int cmd_describe(int argc, char** argv);

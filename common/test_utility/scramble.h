// Scrambling in place by XOR with a keystream keyed by the file's length:
// whole packages, database sectors; the scrambled-database test and the
// description block at the end of a file.
#pragma once

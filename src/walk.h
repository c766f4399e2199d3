// SPDX-License-Identifier: ISC
#ifndef QUENLET_WALK_H
#define QUENLET_WALK_H

#include <dirent.h>
#include <stdio.h>

// Writes to out the index line of every journal entry of dir, in the order
// the folder yields them, titles shown safely for a terminal, and names on
// standard error each entry it cannot list; returns 1 when dir could not be
// read to its end or an entry failed for want of descriptors or memory,
// else 0.
int scan(DIR *dir, FILE *out, bool terminal);

// Writes before, name shown safely, and after as one line on standard error,
// in one write however long the name: stderr is unbuffered.
void report(const char *before, const char *name, const char *after = "");

#endif

// SPDX-License-Identifier: ISC
#ifndef QUENLET_PUBLISH_H
#define QUENLET_PUBLISH_H

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

// A file written whole under a fresh name in a folder, to replace the file
// called name there.
struct draft {
	const char *name;
	char fresh[32];  // its own name meanwhile, empty once it is gone
	dev_t dev;
	ino_t ino;
};

// Holds back every catchable signal that would stop the process, so that
// none can leave a draft behind; is_stopped tells whether one came since.
void hold_signals();
bool is_stopped();

// Creates a new file of mode 0644 in dir, under a fresh name, to replace
// name, and returns a stream to write it through; returns nullptr with errno
// set, and no file left, when that fails. One draft is open at a time.
FILE *open_draft(int dir, const char *name, draft *d);

// Flushes, syncs and closes out, d's stream; returns false with errno set,
// and d's file removed, when that or any write to out failed.
bool close_draft(int dir, FILE *out, draft *d);

// Removes d's file, if its fresh name still holds it.
void discard_draft(int dir, draft *d);

// Renames d's file over its name; returns false with errno set when that
// fails.
bool install_draft(int dir, draft *d);

// Tells whether d's name holds d's file.
bool holds_draft(int dir, const draft *d);

#endif

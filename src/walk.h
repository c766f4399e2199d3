// SPDX-License-Identifier: ISC
#ifndef QUENLET_WALK_H
#define QUENLET_WALK_H

#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

// Who could have put the files of a folder there: when only the running
// user could, nothing is checked; else a file is read only if every one of
// them could read it too.
struct placers {
	bool checked;  // someone other than the running user could
	bool anyone;   // the folder's group or others may write it
	uid_t owner;   // the folder's owner
};

// Tells who could have put files in the folder dir, with one fstat.
placers find_placers(int dir);

// Tells whether every user who could have put the file st in a folder of
// placers p could read it: one readable by others, or, in a folder that
// only its owner can write, one of the owner's.
bool may_read(const placers *p, const struct stat *st);

// Why an entry is left out: the answers of the walk's opens, below 0.
enum left_out {
	CANNOT_OPEN = -1,   // errno says why
	NOT_A_FILE = -2,    // a folder, FIFO, socket or device
	LINK_REFUSED = -3,  // through another link, or to no regular file of its owner
	NOT_SHARED = -4,    // a file that someone who could have put it here could not read
	UNSAFE_OPEN = -5,   // /proc is missing, or what it opened is not the file decided on
	CANNOT_READ = -6,   // errno says why
	NO_HEADING = -7,    // its first line is not a heading
};

// One dated name of the folder as the walk found it: its first line, which
// is a heading, or why it is left out. The pointers are valid only for the
// length of the call that hands it on.
struct entry {
	const char *name;  // as the folder gives it; nullptr when the folder cannot be read to its end
	const char *head;  // the first line, "#" first, as read; nullptr when left out
	size_t n;          // head's length
	left_out why;      // when left out
	int error;         // errno's value, where it says why
};

// Takes each entry of a walk, in the order the folder yields them.
typedef void taker(const entry *e, void *context);

// A walk over one folder, with who as its placers, that hands each entry to
// take.
struct listing {
	placers who;
	taker *take;
	void *context;
};

// Walks dir as l says, in the order the folder yields its entries, and last
// hands on, with no name, a failure to read it to its end; returns 1 when
// that failed or an entry failed for want of descriptors or memory, else 0.
int scan(DIR *dir, const listing *l);

// Writes before, name shown safely, and after as one line on standard error,
// in one write however long the name: stderr is unbuffered.
void report(const char *before, const char *name, const char *after = "");

// As report, with folder, "/" and name in place of name.
void report_in(const char *before, const char *folder, const char *name, const char *after);

#endif

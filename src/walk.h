// SPDX-License-Identifier: ISC
#ifndef QUENLET_WALK_H
#define QUENLET_WALK_H

#include "core.h"

#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

// A user, and a group the group database puts them in.
struct membership {
	uid_t uid;
	gid_t gid;
};

// Who could have put the files of a folder there, its placers: its owner,
// and everyone its mode and access ACL let write and search it, as Linux
// decides: named users, members of the owning group and of named groups,
// listed in any line of the group database with that number or having it
// as their primary group (anyone, for a group the database does not know),
// and anyone, where others may.
// When only the running user could, nothing is checked; else a file is read
// only if every one of them could read it too, as the kernel decides.
struct placers {
	bool checked;         // someone other than the running user could
	bool anyone;          // others may write the folder
	uid_t *users;         // else the placers but root, who reads anything
	size_t n_users;
	membership *groups;   // the groups of each placer, by user and group
	size_t n_groups;
	bool guessed;         // anyone, for this build cannot know all the members of a group that may write
};

// Tells who could have put files in the folder dir: its fstat, and for a
// folder that its group bits let write, its ACL, or for one that the
// running user does not own, a reading of the user and group databases.
placers find_placers(int dir);

// The most bytes of an access ACL.
constexpr size_t ACL_ROOM = 4 + 65536;

// Makes the permissions of a file that exactly those whom the folder st,
// open as dir, lets create files by its mode and access ACL, as the kernel
// reads them, may open, for writing only: its mode in *mode, the owning
// group's bits in *group, and its access ACL in acl, of ACL_ROOM bytes,
// whose length it returns, or 0 where the mode says it all; -1 when the
// folder's ACL cannot be read.
ssize_t make_writers_acl(int dir, const struct stat *st, unsigned char *acl, mode_t *mode, mode_t *group);

// Frees what find_placers allocated.
void free_placers(placers *p);

// Tells whether every placer of p could read the file st, open as fd, as
// Linux decides: its owner by the owner's bits; where its access ACL holds
// more than the three classes and its mode's group bits are not empty, a
// named user by their entry, a member of a group by any of the group
// entries that hold them, others by the others' bits; else by the mode.
// Where anyone could have put it, each of those must grant read.
bool may_read(const placers *p, const struct stat *st, int fd);

// Why an entry is left out: the answers of the walk's opens, below 0.
enum left_out {
	CANNOT_OPEN = -1,   // errno says why
	NOT_A_FILE = -2,    // a folder, FIFO, socket or device
	LINK_REFUSED = -3,  // through another link, or to no regular file of its owner that its owner may read
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
	const char *head;  // the title line, "#" first, as read; nullptr when left out
	size_t n;          // head's length
	left_out why;      // when left out
	int error;         // errno's value, where it says why
	size_t stop;       // for one without a heading, the number of the line of text that its caller found first, or 0
	span body;         // all that was read, from its start, where the walk reads more than the first line
	span summary, content;  // what a feed shows of it, where its caller keeps that
};

// Takes each entry of a walk, in the order the folder yields them.
typedef void taker(const entry *e, void *context);

// A walk over one folder, with who as its placers, that hands each entry to
// take, and where take_name is given, every other name but "." and ".." to
// it.
struct listing {
	placers who;
	taker *take;
	void *context;
	void (*take_name)(const char *name, void *context);
	// Where given, each entry is read into it with one read of as many
	// bytes, at least LINE_SIZE, and not only up to its first line end.
	char *buffer;
	size_t size;
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

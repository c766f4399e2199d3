// SPDX-License-Identifier: ISC
#ifndef QUENLET_PUBLISH_H
#define QUENLET_PUBLISH_H

#include <dirent.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

// A file written whole under a fresh name in a folder, to replace the file
// called name there.
struct draft {
	const char *name;
	char fresh[32];  // its own name meanwhile, empty once it is gone
	dev_t dev;
	ino_t ino;
	bool swapped;  // installed, with what its name held now under fresh
	bool created;  // installed where nothing stood
};

// Holds back every signal that would end the process and that it may hold,
// so that none can leave a draft behind: a file-size limit then fails a
// write instead. is_stopped tells whether one came since.
void hold_signals();
bool is_stopped();

// Takes the lock that runs publishing the folder dir take turns under,
// waiting for another run's as long as it takes, up to about ms
// milliseconds, or a signal; returns the lock, or -1 with errno set, and
// EWOULDBLOCK when another run still holds it, or with *why saying what is
// wrong with the file at the lock's name: not a regular file, or one that
// others than those who may write dir could open. Only those who may
// write dir can take it: for a run that may not make a file there, as on
// a read-only file system, it returns NO_LOCK, since it will write nothing.
int lock_folder(int dir, long ms, const char **why);
constexpr int NO_LOCK = -2;

// Tells whether lock, if any, is still the lock file of dir: a co-author
// may have removed or replaced it, and another run taken another.
bool holds_lock(int dir, int lock);

// Lets the lock go, if any, its file removed; tells whether it was still
// the lock file of dir.
bool unlock_folder(int dir, int lock);

// Removes from dir the drafts that a run which was killed or crashed left
// behind: regular files named as open_draft names them, to replace one of
// the count names, that no one has changed for an hour; a fresher one may
// be another run's. Leaves dir to be read again from its start.
void remove_stale_drafts(DIR *dir, const char *const *names, size_t count);

// What stood at a name when it was looked at: nothing, or the file st.
struct seen {
	bool exists;
	struct stat st;
};

// Looks at name in dir, without following a link, into *was; returns false
// with errno set when that fails for another reason than there being
// nothing.
bool look_at(int dir, const char *name, seen *was);

// Tells whether name in dir still holds what was saw there, unchanged: the
// same file, size, modification and change times, or still nothing.
bool is_unchanged(int dir, const char *name, const seen *was);

// Tells whether name in dir may be replaced: nothing stands there, or a
// regular file or a symbolic link.
bool is_replaceable(int dir, const char *name);

// Creates a new file in dir, under a fresh name, to replace name, with the
// owner, group, access ACL and permission bits of like, read for everyone
// added, where like is a regular file, else like's owner and group and mode 0644; and
// returns a stream to write it through. Returns nullptr with errno set, and
// no file left, when that fails. One draft is open at a time.
FILE *open_draft(int dir, const char *name, const struct stat *like, draft *d);

// Flushes, syncs and closes out, d's stream; returns false with errno set,
// and d's file removed, when that or any write to out failed.
bool close_draft(int dir, FILE *out, draft *d);

// Removes d's file, if its fresh name still holds it.
void discard_draft(int dir, draft *d);

// Renames d's file over its name; returns false with errno set when that
// fails. With keep, where the system can exchange the two atomically, what
// the name held stays in dir under d's fresh name till settle_draft.
bool install_draft(int dir, draft *d, bool keep);

// Removes what d's name held before install_draft kept it, if it is what
// was saw there, a regular file holding the len bytes of old; else, as an
// edit that came too late to be read, puts it back under the name, and d's
// file goes. Tells whether it was removed, or nothing was kept.
bool settle_draft(int dir, draft *d, const seen *was, const char *old, size_t len);

// Puts back what d's name held before install_draft, kept under d's fresh
// name, or where nothing stood there removes d's file; returns false with
// errno set when that fails, or nothing was kept.
bool restore_draft(int dir, draft *d);

// Removes what d's name held before install_draft kept it.
void drop_kept(int dir, draft *d);

// Tells whether d's name holds d's file.
bool holds_draft(int dir, const draft *d);

// What a stream from open_comparison compares its bytes with: the size
// bytes of text, or else of the file fd; how many were written, and whether
// they differ; and the most that may be written, if not 0, past which the
// stream fails.
struct comparison {
	const char *text;
	int fd;
	off_t size, at;
	bool differs;
	off_t most;
};

// Opens a stream that writes nothing, and compares what is written to it
// with c's bytes; nullptr with errno set when that fails.
FILE *open_comparison(comparison *c);

// Closes out, c's stream; tells whether it was written exactly c's bytes.
bool is_same(FILE *out, const comparison *c);

#endif

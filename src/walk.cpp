// SPDX-License-Identifier: ISC
#include "walk.h"

#include "core.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

// A folder of more than 2^32 inodes, or a file past 2 GiB, is common: a
// 32-bit build without large-file calls would fail to read the folder.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");

// O_NONBLOCK keeps a FIFO swapped in after the name was checked from
// blocking the open; O_NOCTTY keeps a terminal from becoming ours.
constexpr int READ_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY;

// Tells a failure that is the process's own, not the entry's.
static bool is_starved(int error)
{
	return error == EMFILE || error == ENFILE || error == ENOMEM;
}

void report(const char *before, const char *name, const char *after)
{
	size_t len = strlen(before), name_len = strlen(name), after_len = strlen(after);
	char line[len + name_len + after_len + 1];
	memcpy(line, before, len);
	len += show_text(line + len, name, name_len);
	memcpy(line + len, after, after_len);
	len += after_len;
	line[len++] = '\n';
	fwrite(line, 1, len, stderr);
}

void report_in(const char *before, const char *folder, const char *name, const char *after)
{
	size_t len = strlen(folder), name_len = strlen(name);
	char path[len + name_len + 2];
	memcpy(path, folder, len);
	path[len] = '/';
	memcpy(path + len + 1, name, name_len + 1);
	report(before, path, after);
}

// Closes a descriptor that was only looked through, or that will not be
// read, keeping errno.
static void close_pin(int pin)
{
	int error = errno;
	close(pin);
	errno = error;
}

placers find_placers(int dir)
{
	struct stat st;
	if (fstat(dir, &st) != 0)
		return {true, true, 0};
	bool anyone = st.st_mode & (S_IWGRP | S_IWOTH);
	return {anyone || st.st_uid != geteuid(), anyone, st.st_uid};
}

bool may_read(const placers *p, const struct stat *st)
{
	return !p->checked || (st->st_mode & S_IROTH) || (!p->anyone && st->st_uid == p->owner);
}

// Returns fd, just opened, if it holds the file pinned, or with no pin a
// regular file that who could all read; else closes it and returns why
// not, or -1 with errno set when it could not be looked at.
static int check_opened(int fd, const struct stat *pinned, const placers *who)
{
	struct stat st;
	if (fstat(fd, &st) != 0) {
		close_pin(fd);
		return -1;
	}
	int why = pinned ? (st.st_dev == pinned->st_dev && st.st_ino == pinned->st_ino ? 0 : UNSAFE_OPEN) :
		  !S_ISREG(st.st_mode) ? NOT_A_FILE : may_read(who, &st) ? 0 : NOT_SHARED;
	if (why == 0)
		return fd;
	close(fd);
	return why;
}

#ifdef O_PATH
// Opens for reading the very file st that the O_PATH descriptor pin holds: a
// name could be swapped meanwhile, the descriptor cannot. Without /proc
// there is no such way, and the entry is refused; so it is when what opened
// is not that file, as where a plain folder stands in for /proc.
static int reopen(int pin, const struct stat *st)
{
	char path[32];
	snprintf(path, sizeof path, "/proc/self/fd/%d", pin);
	int fd = open(path, READ_FLAGS);
	if (fd < 0)
		return errno == ENOENT ? UNSAFE_OPEN : fd;
	return check_opened(fd, st, nullptr);
}

// The answer for a link's target that passes through another link, at any
// component: refused, unless the whole path leads nowhere.
static int refuse_link(int dir, const char *target)
{
	struct stat st;
	return fstatat(dir, target, &st, 0) == 0 || errno == ELOOP ? LINK_REFUSED : -1;
}

// Opens with O_PATH what target names, from dir or from "/", one component
// at a time, each relative to the one before and without following a link,
// so that "." and ".." are taken as the kernel takes them and no link is
// passed through: a folder on the way that is a link fails with ELOOP, and
// a link at the end is opened as itself, for the caller to see. Returns a
// descriptor of its own, or -1 with errno set.
static int walk_target(int dir, char *target)
{
	int at = *target == '/' ? open("/", O_PATH | O_DIRECTORY | O_CLOEXEC) : dir;
	for (char *name = target + strspn(target, "/"); at >= 0 && *name;) {
		char *end = name + strcspn(name, "/"), sep = *end;
		*end = '\0';
		int next = openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC | (sep ? O_DIRECTORY : 0));
		struct stat st;
		if (next < 0 && errno == ENOTDIR && fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
			errno = ELOOP;
		*end = sep;
		if (at != dir)
			close_pin(at);
		at = next;
		name = end + strspn(end, "/");
	}
	return at;
}

// Opens the target of the symbolic link that link holds, owned by owner, if
// it is a regular file of that owner reached from dir through no other link,
// and who could all read it. An O_PATH descriptor opens no device and waits
// for no FIFO, so the target is looked at on the descriptor that is then
// reopened.
static int open_target(int dir, int link, uid_t owner, const placers *who)
{
	char target[PATH_MAX];
	ssize_t len = readlinkat(link, "", target, sizeof target);
	if (len < 0)
		return -1;
	if ((size_t)len == sizeof target)
		return LINK_REFUSED;
	target[len] = '\0';

	int file = walk_target(dir, target);
	if (file < 0)
		return errno == ELOOP ? refuse_link(dir, target) : -1;
	struct stat st;
	int fd = fstat(file, &st) != 0 ? -1 :
		 S_ISLNK(st.st_mode) ? refuse_link(dir, target) :
		 !S_ISREG(st.st_mode) || st.st_uid != owner ? LINK_REFUSED :
		 may_read(who, &st) ? reopen(file, &st) : NOT_SHARED;
	close_pin(file);
	return fd;
}

// Opens the entry called name in dir if it is a regular file, or a link to
// a regular file that has the link's owner, so that a user who can write the
// folder cannot have another user's file listed, and if who could all read
// it. What the name is, and what a link points to, is decided on O_PATH
// descriptors, then that very file is opened. Returns the descriptor, -1
// with errno set, or why it is left out.
static int open_checked(int dir, const char *name, const placers *who)
{
	int pin = openat(dir, name, O_PATH | O_NOFOLLOW);
	if (pin < 0)
		return -1;
	struct stat st;
	int fd = fstat(pin, &st) != 0 ? -1 :
		 S_ISLNK(st.st_mode) ? open_target(dir, pin, st.st_uid, who) :
		 !S_ISREG(st.st_mode) ? NOT_A_FILE :
		 may_read(who, &st) ? reopen(pin, &st) : NOT_SHARED;
	close_pin(pin);
	return fd;
}
#else
// Without O_PATH a link's target cannot be looked at before it is opened:
// links are refused, and a regular file is opened by its name, then checked
// to be the file looked at.
static int open_checked(int dir, const char *name, const placers *who)
{
	struct stat st;
	if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return -1;
	int fd = S_ISLNK(st.st_mode) ? LINK_REFUSED :
		 !S_ISREG(st.st_mode) ? NOT_A_FILE :
		 may_read(who, &st) ? openat(dir, name, READ_FLAGS | O_NOFOLLOW) : NOT_SHARED;
	return fd >= 0 ? check_opened(fd, &st, nullptr) : fd;
}
#endif

// Opens the entry called name in dir, whose directory type is type, if it
// is a regular file; returns as open_checked does. An entry typed regular
// costs one open: O_NOFOLLOW fails on a link swapped in since the directory
// was read, and any failure takes the checked way. Where others could have
// put or swapped entries, what that open gave is checked, and anything but
// a regular file that they could all read is closed unread. An entry typed
// directory, FIFO, socket or device is never opened, since opening a device
// can act.
static int open_entry(int dir, const char *name, unsigned char type, const placers *who)
{
	if (type == DT_REG) {
		int fd = openat(dir, name, READ_FLAGS | O_NOFOLLOW);
		if (fd >= 0 && who->checked)
			return check_opened(fd, nullptr, who);
		if (fd >= 0 || is_starved(errno))
			return fd;
	} else if (type != DT_LNK && type != DT_UNKNOWN) {
		return NOT_A_FILE;
	}
	return open_checked(dir, name, who);
}

// Reads from fd until the first line end or LINE_SIZE - 1 bytes; returns the
// byte count, or -1 on a read error. pread fails on a FIFO, socket or
// directory, so that one swapped in before the open is never read.
static ssize_t read_head(int fd, char *head)
{
	size_t n = 0;
	for (;;) {
		ssize_t got = pread(fd, head + n, LINE_SIZE - 1 - n, n);
		if (got < 0)
			return -1;
		if (got == 0 || memchr(head + n, '\n', got))
			return n + got;
		n += got;
		if (n == LINE_SIZE - 1)
			return n;
	}
}

// Hands to l the entry called name in dir, with its first line or why it
// is left out; returns false when it failed for want of descriptors or
// memory.
static bool make_link(const listing *l, int dir, const char *name, unsigned char type)
{
	if (!name)
		return true;
	entry e = {name, nullptr, 0, CANNOT_OPEN, 0};
	int fd = open_entry(dir, name, type, &l->who);
	char head[LINE_SIZE];
	if (fd >= 0) {
		ssize_t n = read_head(fd, head);
		e.error = errno;
		close(fd);
		e.why = n < 0 ? CANNOT_READ : NO_HEADING;
		if (n > 0 && head[0] == '#') {
			e.head = head;
			e.n = n;
		}
	} else {
		e.why = (left_out)fd;
		e.error = errno;
	}
	l->take(&e, l->context);
	return e.head || !((e.why == CANNOT_OPEN || e.why == CANNOT_READ) && is_starved(e.error));
}

int scan(DIR *dir, const listing *l)
{
	int fd = dirfd(dir), status = 0;
	for (;;) {
		errno = 0;
		struct dirent *entry = readdir(dir);
		if (!entry)
			break;
		if (!make_link(l, fd, validate_name(entry->d_name), entry->d_type))
			status = 1;
	}
	if (errno != 0) {
		struct entry e = {nullptr, nullptr, 0, CANNOT_READ, errno};
		l->take(&e, l->context);
		status = 1;
	}
	return status;
}

// SPDX-License-Identifier: ISC
#include "index.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif
#endif

// open_entry's answer for a name that is no regular file quenlet may read.
constexpr int REFUSED = -2;

// O_NONBLOCK keeps a FIFO swapped in after the name was checked from
// blocking the open; O_NOCTTY keeps a terminal from becoming ours.
constexpr int READ_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY;

// Tells a failure that is the process's own, not the entry's.
static bool is_starved(int error)
{
	return error == EMFILE || error == ENFILE || error == ENOMEM;
}

// Writes message and name, shown safely, as one line on standard error, in
// one write however long the name: stderr is unbuffered.
static void report(const char *message, const char *name)
{
	size_t len = strlen(message), name_len = strlen(name);
	char line[len + name_len + 1];
	memcpy(line, message, len);
	len += show_text(line + len, name, name_len);
	line[len++] = '\n';
	fwrite(line, 1, len, stderr);
}

#if defined(O_PATH) && defined(SYS_openat2)
#ifndef RESOLVE_NO_SYMLINKS
// The kernel's own layout; musl carries no kernel headers.
struct open_how {
	uint64_t flags, mode, resolve;
};
constexpr uint64_t RESOLVE_NO_SYMLINKS = 0x04;
#endif

// Closes a descriptor that was only looked through, keeping errno.
static void close_pin(int pin)
{
	int error = errno;
	close(pin);
	errno = error;
}

// Opens for reading the very file that the O_PATH descriptor pin holds: a
// name could be swapped meanwhile, the descriptor cannot. Without /proc
// there is no such way, and the entry is refused.
static int reopen(int pin)
{
	char path[32];
	snprintf(path, sizeof path, "/proc/self/fd/%d", pin);
	int fd = open(path, READ_FLAGS);
	return fd < 0 && errno == ENOENT ? REFUSED : fd;
}

// Opens the target of the symbolic link that link holds, owned by owner, if
// it is a regular file of that owner reached from dir through no other link.
// An O_PATH descriptor opens no device and waits for no FIFO, so the target
// is looked at on the descriptor that is then reopened.
static int open_target(int dir, int link, uid_t owner)
{
	char target[PATH_MAX];
	ssize_t len = readlinkat(link, "", target, sizeof target);
	if (len < 0)
		return -1;
	if ((size_t)len == sizeof target)
		return REFUSED;
	target[len] = '\0';

	struct open_how how = {O_PATH, 0, RESOLVE_NO_SYMLINKS};
	struct stat st;
	int file = syscall(SYS_openat2, dir, target, &how, sizeof how);
	if (file < 0) {
		// Through another link: refused, unless it leads nowhere.
		if (errno == ELOOP && (fstatat(dir, target, &st, 0) == 0 || errno == ELOOP))
			return REFUSED;
		return errno == ENOSYS ? REFUSED : -1;
	}
	int fd = fstat(file, &st) != 0 ? -1 :
		 S_ISREG(st.st_mode) && st.st_uid == owner ? reopen(file) : REFUSED;
	close_pin(file);
	return fd;
}

// Opens the entry called name in dir if it is a regular file, or a link to
// a regular file that has the link's owner, so that a user who can write the
// folder cannot have another user's file listed. What the name is, and what
// a link points to, is decided on O_PATH descriptors, then that very file is
// opened. Returns the descriptor, -1 with errno set, or REFUSED.
static int open_checked(int dir, const char *name)
{
	int pin = openat(dir, name, O_PATH | O_NOFOLLOW);
	if (pin < 0)
		return -1;
	struct stat st;
	int fd = fstat(pin, &st) != 0 ? -1 :
		 S_ISREG(st.st_mode) ? reopen(pin) :
		 S_ISLNK(st.st_mode) ? open_target(dir, pin, st.st_uid) : REFUSED;
	close_pin(pin);
	return fd;
}
#else
// Without O_PATH and openat2 a link's target cannot be looked at before it
// is opened: links are refused, and a regular file has the same residual as
// one that the folder lists as regular.
static int open_checked(int dir, const char *name)
{
	struct stat st;
	if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return -1;
	return S_ISREG(st.st_mode) ? openat(dir, name, READ_FLAGS | O_NOFOLLOW) : REFUSED;
}
#endif

// Opens the entry called name in dir, whose directory type is type, if it
// is a regular file; returns as open_checked does. An entry typed regular
// costs one open: O_NOFOLLOW fails on a link swapped in since the directory
// was read, and any failure takes the checked way. An entry typed directory,
// FIFO, socket or device is never opened, since opening a device can act.
static int open_entry(int dir, const char *name, unsigned char type)
{
	if (type == DT_REG) {
		int fd = openat(dir, name, READ_FLAGS | O_NOFOLLOW);
		if (fd >= 0 || is_starved(errno))
			return fd;
	} else if (type != DT_LNK && type != DT_UNKNOWN) {
		return REFUSED;
	}
	return open_checked(dir, name);
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

// Writes the index line of the entry called name in dir, or reports why
// not; returns false when it failed for want of descriptors or memory.
static bool make_link(int dir, const char *name, unsigned char type, bool terminal)
{
	if (!name)
		return true;
	int fd = open_entry(dir, name, type);
	if (fd < 0) {
		bool starved = fd == -1 && is_starved(errno);
		report(fd == REFUSED ? "Could not process file " : "Could not read file ", name);
		return !starved;
	}
	char head[LINE_SIZE];
	ssize_t n = read_head(fd, head);
	bool starved = n < 0 && is_starved(errno);
	close(fd);
	if (n > 0 && write_link(stdout, name, head, n, terminal))
		return true;
	report("Could not process file ", name);
	return !starved;
}

// Writes the index of dir, titles shown safely for a terminal; returns 1
// when the folder could not be read to its end or an entry failed for want
// of resources, else 0.
static int scan(DIR *dir, bool terminal)
{
	int fd = dirfd(dir), status = 0;
	for (;;) {
		errno = 0;
		struct dirent *entry = readdir(dir);
		if (!entry)
			break;
		if (!make_link(fd, validate_name(entry->d_name), entry->d_type, terminal))
			status = 1;
	}
	if (errno != 0) {
		fputs("Could not read directory\n", stderr);
		status = 1;
	}
	return status;
}

// Closes stream; returns false when that fails or any earlier write to it
// did: a flush that failed mid-run is not reported again by fclose.
static bool close_stream(FILE *stream)
{
	bool failed = ferror(stream);
	return fclose(stream) == 0 && !failed;
}

int main(int argc, char *argv[])
{
	if (argc < 2) {
		puts("Usage: quenlet <dirname>");
		puts("Generates an index of all quenlet entries in the directory");
		return 1;
	}
	DIR *dir = opendir(argv[1]);
	if (!dir) {
		fputs("Could not open current directory", stdout);
		return 1;
	}

	// The index goes out in large blocks; stdout is closed below, before
	// this buffer goes out of scope. A larger one grows the stack past the
	// pages a process starts with, and memory with the size of the journal.
	char out[32 * 1024];
	bool terminal = isatty(STDOUT_FILENO);
	if (!terminal)
		setvbuf(stdout, out, _IOFBF, sizeof out);

	int status = scan(dir, terminal);
	closedir(dir);
	if (!close_stream(stdout)) {
		fputs("Could not write index\n", stderr);
		status = 1;
	}
	return status;
}

// SPDX-License-Identifier: ISC
#include "index.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// open_entry's answer for a name that is no regular file quenlet may read.
constexpr int REFUSED = -2;

// O_NONBLOCK keeps a FIFO swapped in after the name was checked from
// blocking the open and the read; O_NOCTTY keeps a terminal from becoming
// ours.
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
	size_t len = strlen(message);
	char line[len + strlen(name) + 1];
	memcpy(line, message, len);
	len += show_name(line + len, name);
	line[len++] = '\n';
	fwrite(line, 1, len, stderr);
}

// Opens the entry called name in dir after looking at what it is: a regular
// file, or a symbolic link to a regular file that has the link's owner, so
// that a user who can write the folder cannot have another user's file
// listed. The descriptor must then be that same file, since the name can
// change between the look and the open. Returns the descriptor, -1 with
// errno set, or REFUSED.
static int open_checked(int dir, const char *name)
{
	struct stat link, file, opened;
	if (fstatat(dir, name, &link, AT_SYMLINK_NOFOLLOW) != 0)
		return -1;
	bool is_link = S_ISLNK(link.st_mode);
	if (!is_link)
		file = link;
	else if (fstatat(dir, name, &file, 0) != 0)
		return -1;
	if (!S_ISREG(file.st_mode) || (is_link && file.st_uid != link.st_uid))
		return REFUSED;

	int fd = openat(dir, name, READ_FLAGS | (is_link ? 0 : O_NOFOLLOW));
	if (fd < 0)
		return -1;
	if (fstat(fd, &opened) == 0 && opened.st_dev == file.st_dev &&
	    opened.st_ino == file.st_ino)
		return fd;
	close(fd);
	return REFUSED;
}

// Opens the entry called name in dir, whose directory type is type, if it
// is a regular file; returns as open_checked does. An entry typed regular
// costs one open: O_NOFOLLOW fails on a link swapped in since the directory
// was read, and any failure takes the checked way. A directory, FIFO, socket
// or device is never opened, since opening a device can act.
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
// byte count, or -1 on a read error.
static ssize_t read_head(int fd, char *head)
{
	size_t n = 0;
	for (;;) {
		ssize_t got = read(fd, head + n, LINE_SIZE - 1 - n);
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
static bool make_link(int dir, const char *name, unsigned char type)
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
	if (n > 0 && write_link(stdout, name, head, n))
		return true;
	report("Could not process file ", name);
	return !starved;
}

// Writes the index of dir; returns 1 when the folder could not be read to
// its end or an entry failed for want of resources, else 0.
static int scan(DIR *dir)
{
	int fd = dirfd(dir), status = 0;
	for (;;) {
		errno = 0;
		struct dirent *entry = readdir(dir);
		if (!entry)
			break;
		if (!make_link(fd, validate_name(entry->d_name), entry->d_type))
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
	if (!isatty(STDOUT_FILENO))
		setvbuf(stdout, out, _IOFBF, sizeof out);

	int status = scan(dir);
	closedir(dir);
	if (!close_stream(stdout)) {
		fputs("Could not write index\n", stderr);
		status = 1;
	}
	return status;
}

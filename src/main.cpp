#include "index.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static void report(const char *format, const char *name)
{
	char shown[NAME_SIZE + 1];
	show_name(shown, name);
	fprintf(stderr, format, shown);
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

static bool is_regular(int fd)
{
	struct stat st;
	return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Tells a name that cannot be opened because it is no regular file (a
// socket, or a link to a directory we may not read) from one that is missing.
static bool is_special(int dir, const char *name)
{
	struct stat st;
	return fstatat(dir, name, &st, 0) == 0 && !S_ISREG(st.st_mode);
}

// Writes the index line of the entry called name in dir, or reports why not.
// Only regular files are read: a FIFO or a terminal would block the scan, and
// opening a device can have effects of its own. O_NONBLOCK keeps a file
// swapped for a FIFO after the directory was read from blocking.
static void make_link(int dir, const char *name, unsigned char type)
{
	if (!name)
		return;
	if (type != DT_REG && type != DT_LNK && type != DT_UNKNOWN) {
		report("Could not process file %s\n", name);
		return;
	}
	int fd = openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
	if (fd < 0) {
		report(is_special(dir, name) ? "Could not process file %s\n" :
		       "Could not read file %s\n", name);
		return;
	}
	char head[LINE_SIZE];
	ssize_t n = type == DT_REG || is_regular(fd) ? read_head(fd, head) : -1;
	close(fd);

	char link[LINK_SIZE];
	size_t len = n > 0 ? format_link(link, name, head, n) : 0;
	if (len)
		fwrite(link, 1, len, stdout);
	else
		report("Could not process file %s\n", name);
}

// Returns false when the directory could not be read to its end.
static bool scan(DIR *dir)
{
	int fd = dirfd(dir);
	for (;;) {
		errno = 0;
		struct dirent *entry = readdir(dir);
		if (!entry)
			return errno == 0;
		make_link(fd, validate_name(entry->d_name), entry->d_type);
	}
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

	bool complete = scan(dir);
	closedir(dir);
	int status = 0;
	if (!complete) {
		fputs("Could not read directory\n", stderr);
		status = 1;
	}
	if (fclose(stdout) != 0) {
		fputs("Could not write index\n", stderr);
		status = 1;
	}
	return status;
}

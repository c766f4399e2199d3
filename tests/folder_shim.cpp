// SPDX-License-Identifier: ISC
// Preloaded into a dynamically linked program, stands in for file systems the
// test machine does not have and for races it cannot time: SHIM_TYPE gives
// every entry that directory type (0, unknown, as on file systems that keep
// none; 8, regular, as for an entry swapped after the folder was read),
// SHIM_LONG renames the entry called "long", since tmpfs holds no name longer
// than 255 bytes, SHIM_SWAP names a file that is renamed over the first
// entry quenlet opens, or the file SHIM_AT names, just before it is opened,
// SHIM_READ is the most bytes a read returns, as on a pipe or a network file
// system, SHIM_EDIT names a file that gets a line more at the first fsync,
// as when an author saves it while gemlog-index writes its drafts (with
// SHIM_HOW, written over its start instead, or with its times put back,
// or the file deleted, or written right after it is replaced), and
// SHIM_TAKEN makes the first draft's name opened with O_EXCL taken, as if
// another run's draft held it.
// Each call is shimmed under its name and its large-file twin's, whichever
// the program calls.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

template <class Entry> static Entry *shim_entry(Entry *entry)
{
	static union {
		Entry entry;
		char room[offsetof(Entry, d_name) + 128 * 1024];
	} copy;
	if (!entry)
		return entry;
	const char *type = getenv("SHIM_TYPE"), *long_name = getenv("SHIM_LONG");
	const char *name = long_name && strcmp(entry->d_name, "long") == 0 ? long_name : entry->d_name;
	size_t len = strlen(name) + 1, head = offsetof(Entry, d_name);
	if (len > sizeof copy.room - head)
		abort();
	memcpy(copy.room, entry, head);
	memcpy(copy.room + head, name, len);  // past d_name's 256 bytes, as getdents64 allows
	if (type)
		copy.entry.d_type = atoi(type);
	return &copy.entry;
}

extern "C" struct dirent *readdir(DIR *dir)
{
	static auto next = (struct dirent * (*)(DIR *)) dlsym(RTLD_NEXT, "readdir");
	return shim_entry(next(dir));
}

extern "C" struct dirent64 *readdir64(DIR *dir)
{
	static auto next = (struct dirent64 * (*)(DIR *)) dlsym(RTLD_NEXT, "readdir64");
	return shim_entry(next(dir));
}

static void swap_entry(int dir, const char *name)
{
	const char *swap = getenv("SHIM_SWAP"), *at = getenv("SHIM_AT");
	size_t len = strlen(name);
	if (swap && len > 4 && strcmp(name + len - 4, ".gmi") == 0 && (!at || strcmp(at, name) == 0)) {
		renameat(dir, swap, dir, name);
		unsetenv("SHIM_SWAP");
	}
}

// Tells whether name, opened with flags, is taken: SHIM_TAKEN's draft.
static bool is_taken(const char *name, int flags)
{
	static char taken[256];
	if (!(flags & O_EXCL) || !getenv("SHIM_TAKEN") || strstr(name, ".lock") || (*taken && strcmp(taken, name) != 0))
		return false;
	snprintf(taken, sizeof taken, "%s", name);
	errno = EEXIST;
	return true;
}

// The only file opened with O_CREAT is a draft of gemlog-index, which asks
// for mode 0644.
#define SHIM_OPENAT(call, ...)                                                              \
	extern "C" int call(int dir, const char *name, int flags __VA_ARGS__)               \
	{                                                                                    \
		static auto next = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, #call); \
		swap_entry(dir, name);                                                       \
		return is_taken(name, flags) ? -1 : next(dir, name, flags, 0644);            \
	}
SHIM_OPENAT(openat, , ...)
SHIM_OPENAT(openat64, , ...)
SHIM_OPENAT(__openat_2)
SHIM_OPENAT(__openat64_2)

static size_t shorten(size_t len)
{
	const char *most = getenv("SHIM_READ");
	size_t cut = most ? strtoul(most, nullptr, 10) : len;
	return cut < len ? cut : len;
}

#define SHIM_PREAD(call, offset)                                                                    \
	extern "C" ssize_t call(int fd, void *buf, size_t len, offset at)                             \
	{                                                                                             \
		static auto next = (ssize_t(*)(int, void *, size_t, offset))dlsym(RTLD_NEXT, #call);   \
		return next(fd, buf, shorten(len), at);                                               \
	}                                                                                             \
	extern "C" ssize_t __##call##_chk(int fd, void *buf, size_t len, offset at, size_t room)      \
	{                                                                                             \
		static auto next = (ssize_t(*)(int, void *, size_t, offset, size_t))dlsym(RTLD_NEXT,   \
										"__" #call "_chk"); \
		return next(fd, buf, shorten(len), at, room);                                         \
	}
SHIM_PREAD(pread, off_t)
SHIM_PREAD(pread64, off64_t)

// With SHIM_HOW=rename, SHIM_EDIT's file gets its line right after it is
// replaced, through a descriptor opened before, as an editor holds one.
extern "C" int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags)
{
	static auto next = (int (*)(int, const char *, int, const char *, unsigned))dlsym(RTLD_NEXT, "renameat2");
	const char *path = getenv("SHIM_EDIT"), *how = getenv("SHIM_HOW") ? getenv("SHIM_HOW") : "";
	int f = path && strcmp(how, "rename") == 0 && strcmp(to, path) == 0 ? open(path, O_WRONLY | O_APPEND) : -1;
	int r = next(from_dir, from, to_dir, to, flags);
	if (f >= 0 && (write(f, "edit\n", 5) != 5 || close(f) != 0))
		abort();
	return r;
}

extern "C" int fsync(int fd)
{
	static auto next = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
	const char *path = getenv("SHIM_EDIT"), *how = getenv("SHIM_HOW") ? getenv("SHIM_HOW") : "";
	if (strcmp(how, "rename") == 0)
		return next(fd);
	struct stat st;
	bool had = path && stat(path, &st) == 0;
	if (path && strcmp(how, "delete") == 0) {
		unlink(path);
	} else if (path) {
		int f = open(path, O_WRONLY | O_CREAT | (strcmp(how, "same") ? O_APPEND : 0), 0644);
		if (write(f, "edit\n", 5) != 5 || close(f) != 0)
			abort();
		struct timespec times[2] = {st.st_atim, st.st_mtim};
		if (had && strcmp(how, "restore") == 0)
			utimensat(AT_FDCWD, path, times, 0);
	}
	unsetenv("SHIM_EDIT");
	return next(fd);
}

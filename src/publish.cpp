// SPDX-License-Identifier: ISC
// Replaces a file in a folder that others may write, as a mail delivery to
// a Maildir does: every call is relative to the folder's descriptor, the
// new file gets a fresh name that no one can have planted, and it is whole
// and synced before it is renamed into place.
#include "publish.h"

#include "core.h"
#include "walk.h"

#include <ctype.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdint.h>
#include <string.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <time.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#endif
#ifdef __linux__
#include <sys/syscall.h>
#include <sys/xattr.h>
#endif

// Tells whether sig ends a process by default and may be held: neither a
// fault, which the kernel delivers at once however held, nor one that is
// ignored or that stops the process.
static bool is_stopping(int sig)
{
	switch (sig) {
	case SIGKILL: case SIGSTOP:
	case SIGSEGV: case SIGBUS: case SIGFPE: case SIGILL: case SIGTRAP: case SIGSYS:
	case SIGCHLD: case SIGCONT: case SIGTSTP: case SIGTTIN: case SIGTTOU: case SIGURG: case SIGWINCH:
#ifdef SIGINFO
	case SIGINFO:
#endif
		return false;
	}
	return true;
}

#ifdef __linux__
// The kernel's own signal mask, which its own calls take: the C libraries'
// sigset_t calls refuse the signals 32 to 34 that they keep for threads,
// yet those end a process that has no handler for them.
constexpr int LAST_SIGNAL = _NSIG - 1;
constexpr int WORD_BITS = 8 * sizeof(unsigned long);
struct signals {
	unsigned long word[LAST_SIGNAL / WORD_BITS];
};

static void add_signal(signals *set, int sig)
{
	set->word[(sig - 1) / WORD_BITS] |= 1UL << ((sig - 1) % WORD_BITS);
}

static bool has_signal(const signals *set, int sig)
{
	return set->word[(sig - 1) / WORD_BITS] >> ((sig - 1) % WORD_BITS) & 1;
}

static void block(const signals *set)
{
	syscall(SYS_rt_sigprocmask, SIG_BLOCK, set, nullptr, sizeof *set);
}

static signals read_pending()
{
	signals set{};
	syscall(SYS_rt_sigpending, &set, sizeof set);
	return set;
}
#else
constexpr int LAST_SIGNAL = NSIG - 1;
typedef sigset_t signals;

static void add_signal(signals *set, int sig)
{
	sigaddset(set, sig);
}

static bool has_signal(const signals *set, int sig)
{
	return sigismember(set, sig) == 1;
}

static void block(const signals *set)
{
	sigprocmask(SIG_BLOCK, set, nullptr);
}

static signals read_pending()
{
	signals set;
	sigpending(&set);
	return set;
}
#endif

void hold_signals()
{
	signals set;
	memset(&set, 0, sizeof set);
	for (int sig = 1; sig <= LAST_SIGNAL; sig++)
		if (is_stopping(sig))
			add_signal(&set, sig);
	block(&set);
}

bool is_stopped()
{
	signals pending = read_pending();
	// A write to a standard error that no one reads raises SIGPIPE as well:
	// that one is taken and stops nothing. One sent at the same time is
	// taken with it.
	if (has_signal(&pending, SIGPIPE) && ferror(stderr)) {
		sigset_t broken;
		int sig;
		sigemptyset(&broken);
		sigaddset(&broken, SIGPIPE);
		sigwait(&broken, &sig);
		clearerr(stderr);
		pending = read_pending();
	}
	for (int sig = 1; sig <= LAST_SIGNAL; sig++)
		if (is_stopping(sig) && has_signal(&pending, sig))
			return true;
	return false;
}

// Makes d->fresh ".NAME." and twelve random letters or digits.
static bool pick_fresh(draft *d)
{
	static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
	unsigned char bytes[12];
	int len = snprintf(d->fresh, sizeof d->fresh, ".%s.", d->name);
	if (len < 0 || (size_t)len + sizeof bytes >= sizeof d->fresh || getentropy(bytes, sizeof bytes) != 0)
		return false;
	for (unsigned char c : bytes)
		d->fresh[len++] = alphabet[c % (sizeof alphabet - 1)];
	d->fresh[len] = '\0';
	return true;
}

// Gives the file fd the owner and group of like: as root, always; as
// another user, the group alone where that user is in it, else nothing,
// for no one else may give a file away. Returns false with errno set when
// that fails otherwise.
static bool give_owner(int fd, const struct stat *like)
{
	if (fchown(fd, like->st_uid, like->st_gid) == 0)
		return true;
	if (geteuid() == 0)
		return false;
	// Not in that group, the user keeps their own.
	return fchown(fd, (uid_t)-1, like->st_gid) == 0 || errno == EPERM;
}

// Gives fd the access ACL of the regular file like, if it still stands at
// name in dir, as it gets like's mode, or none where like has none, so
// that the folder's default ACL, which the new file took, grants no more
// than the old file did; returns false with errno set when that fails.
static bool give_acl(int dir, const char *name, const struct stat *like, int fd)
{
#ifdef __linux__
	if (!S_ISREG(like->st_mode))
		return true;
	unsigned char acl[4 + 65536];
	struct stat st;
	int old = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	ssize_t len = old < 0 || fstat(old, &st) != 0 || st.st_dev != like->st_dev || st.st_ino != like->st_ino ? -1 :
		      fgetxattr(old, "system.posix_acl_access", acl, sizeof acl);
	if (old >= 0)
		close_keeping_errno(old);
	if (len < 0)
		return fremovexattr(fd, "system.posix_acl_access") == 0 || errno == ENODATA || errno == ENOTSUP ||
		       errno == EOPNOTSUPP;
	return fsetxattr(fd, "system.posix_acl_access", acl, len, 0) == 0 || errno == ENOTSUP || errno == EOPNOTSUPP;
#else
	(void)dir, (void)name, (void)like, (void)fd;
	return true;
#endif
}

FILE *open_draft(int dir, const char *name, const struct stat *like, draft *d)
{
	// The new files go out in large blocks, one file at a time.
	static char buffer[32 * 1024];
	d->name = name;
	int fd = -1;
	for (int tries = 0; fd < 0 && tries < 100; tries++) {
		if (!pick_fresh(d))
			break;
		fd = openat(dir, d->fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
		if (fd < 0 && errno != EEXIST)
			break;
	}
	if (fd < 0) {
		d->fresh[0] = '\0';
		return nullptr;
	}
	struct stat st;
	FILE *out = nullptr;
	// The mode whatever the umask, since the server may run as another
	// user; set after the owner, whose change would clear some bits, and
	// after the ACL, whose entries for the classes it sets.
	mode_t mode = S_ISREG(like->st_mode) ? (like->st_mode & 0777) | 0444 : 0644;
	if (fstat(fd, &st) == 0 && give_owner(fd, like) && give_acl(dir, name, like, fd) && fchmod(fd, mode) == 0)
		out = fdopen(fd, "w");
	if (!out) {
		int error = errno;
		close(fd);
		unlinkat(dir, d->fresh, 0);  // made a moment ago
		d->fresh[0] = '\0';
		errno = error;
		return nullptr;
	}
	d->dev = st.st_dev;
	d->ino = st.st_ino;
	setvbuf(out, buffer, _IOFBF, sizeof buffer);
	return out;
}

bool close_draft(int dir, FILE *out, draft *d)
{
	bool written = fflush(out) == 0 && !ferror(out) && fsync(fileno(out)) == 0;
	int error = errno;
	if (fclose(out) != 0 && written) {
		written = false;
		error = errno;
	}
	if (!written) {
		discard_draft(dir, d);
		errno = error;
	}
	return written;
}

// Tells whether name in dir is d's file.
static bool is_draft(int dir, const char *name, const draft *d)
{
	struct stat st;
	return fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == d->dev && st.st_ino == d->ino;
}

void discard_draft(int dir, draft *d)
{
	int error = errno;
	if (d->fresh[0] && is_draft(dir, d->fresh, d))
		unlinkat(dir, d->fresh, 0);
	d->fresh[0] = '\0';
	errno = error;
}

// Exchanges the files named a and b in dir, atomically; returns false with
// errno set where that fails or the system cannot. glibc's own call is the
// one the test shim sees; musl has none.
static bool exchange(int dir, const char *a, const char *b)
{
#if defined(__GLIBC__) && defined(RENAME_EXCHANGE)
	return renameat2(dir, a, dir, b, RENAME_EXCHANGE) == 0;
#elif defined(SYS_renameat2)
	return syscall(SYS_renameat2, dir, a, dir, b, 1 << 1) == 0;  // RENAME_EXCHANGE
#else
	(void)dir, (void)a, (void)b;
	errno = ENOSYS;
	return false;
#endif
}

bool install_draft(int dir, draft *d, bool keep)
{
	// A plain rename where the file system or kernel has no exchange, or
	// nothing stands at the name.
	d->swapped = keep && exchange(dir, d->fresh, d->name);
	d->created = !d->swapped && keep && errno == ENOENT;
	if (d->swapped)
		return true;
	if ((keep && errno != EINVAL && errno != ENOSYS && errno != ENOENT) || renameat(dir, d->fresh, dir, d->name) != 0)
		return false;
	d->fresh[0] = '\0';
	return true;
}

bool restore_draft(int dir, draft *d)
{
	if (d->created) {
		if (holds_draft(dir, d))
			unlinkat(dir, d->name, 0);
		return true;
	}
	if (!d->swapped) {
		errno = ENOTSUP;
		return false;
	}
	if (!exchange(dir, d->fresh, d->name))
		return false;
	discard_draft(dir, d);
	d->swapped = false;
	return true;
}

void drop_kept(int dir, draft *d)
{
	if (d->swapped)
		unlinkat(dir, d->fresh, 0);
	d->fresh[0] = '\0';
	d->swapped = false;
}

// Tells whether fd, of size bytes, holds the len bytes of text.
static bool holds_text(int fd, off_t size, const char *text, size_t len)
{
	comparison c = {nullptr, fd, size, 0, false, 0};
	FILE *out = open_comparison(&c);
	if (!out)
		return false;
	if (len)
		fwrite(text, 1, len, out);
	return is_same(out, &c);
}

bool settle_draft(int dir, draft *d, const seen *was, const char *old, size_t len)
{
	if (!d->swapped)
		return true;
	// The file read, unchanged: a link or nothing then, which is never
	// read, the same one still.
	struct stat st;
	bool regular = was->exists && S_ISREG(was->st.st_mode);
	int fd = regular ? openat(dir, d->fresh, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
	bool same = (regular ? fd >= 0 && fstat(fd, &st) == 0 : fstatat(dir, d->fresh, &st, AT_SYMLINK_NOFOLLOW) == 0) &&
		    st.st_dev == was->st.st_dev && st.st_ino == was->st.st_ino &&
		    (!regular || (S_ISREG(st.st_mode) && holds_text(fd, st.st_size, old, len)));
	if (fd >= 0)
		close(fd);
	// Changed since it was read, it goes back in place of the new file,
	// which goes; failing the exchange, over it.
	if (same || exchange(dir, d->fresh, d->name))
		unlinkat(dir, d->fresh, 0);
	else
		renameat(dir, d->fresh, dir, d->name);
	d->fresh[0] = '\0';
	d->swapped = false;
	return same;
}

bool holds_draft(int dir, const draft *d)
{
	return is_draft(dir, d->name, d);
}

// The file that runs publishing a folder take turns under, while one runs.
static const char LOCK[] = ".gemlog-index.lock";

// The permissions of the lock file: a mode, and an access ACL of len bytes
// where the mode does not say it all.
struct lock_rights {
	mode_t mode;
	mode_t group;  // the owning group's bits, which the mode's are where it has no ACL
	unsigned char acl[ACL_ROOM];
	ssize_t len;
};

// Gives the lock file fd, of the group gid, the permissions of *want: no
// ACL but what want says, and its mode, group bits only for the folder's
// group; returns false with errno set when that fails.
static bool give_lock(int fd, gid_t gid, const lock_rights *want)
{
	struct stat st;
	if (fstat(fd, &st) != 0 || fchmod(fd, want->mode & (st.st_gid == gid ? 0222 : 0202)) != 0)
		return false;
#ifdef __linux__
	if (want->len > 0 && st.st_gid == gid)
		return fsetxattr(fd, "system.posix_acl_access", want->acl, want->len, 0) == 0;
	return fremovexattr(fd, "system.posix_acl_access") == 0 || errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP;
#else
	return true;
#endif
}

// Tells what is wrong with the file st at the lock's name, or nullptr: it
// is no regular file, or others than want lets may open it.
static const char *refuse_lock(int fd, const struct stat *st, gid_t gid, const lock_rights *want)
{
	if (!S_ISREG(st->st_mode))
		return S_ISLNK(st->st_mode) ? "a symbolic link" : S_ISDIR(st->st_mode) ? "a folder" :
		       S_ISFIFO(st->st_mode) ? "a FIFO" : S_ISSOCK(st->st_mode) ? "a socket" : "a device";
	// Its owner, who made it, may write the folder; its group, the folder's
	// group where that may, by the mode or the owning group's ACL entry.
	mode_t allowed = 0700 | (want->mode & 0002) | (st->st_gid == gid ? want->group : 0);
	bool open = (st->st_mode & 07777 & ~allowed) != 0;
#ifdef __linux__
	// An ACL of its own is one that a run gave it; before the file is
	// open, its mode alone is looked at.
	static unsigned char acl[ACL_ROOM];
	ssize_t len = fd < 0 ? -1 : fgetxattr(fd, "system.posix_acl_access", acl, sizeof acl);
	open = open || (len > 4 + 3 * 8 && (len != want->len || st->st_gid != gid || memcmp(acl, want->acl, len) != 0));
#else
	(void)fd;
#endif
	return open ? "it may be opened by others than those who may write the folder" : nullptr;
}

// Opens dir's lock file for writing, making it if it is missing: writable
// by those whom dir's mode and ACL let write it and by no one else, and
// readable by no one, so that a user who may only read the folder cannot
// hold it. Returns NO_LOCK where the run may not make files in dir at all;
// -1 with *why set where what stands at the name is not such a file, which
// is not opened unless it is a regular file.
static int open_lock(int dir, const char **why)
{
	struct stat folder, st;
	static lock_rights want;
	if (fstat(dir, &folder) != 0 || (want.len = make_writers_acl(dir, &folder, want.acl, &want.mode, &want.group)) < 0)
		return -1;
	int fd = openat(dir, LOCK, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0);
	if (fd >= 0) {
		if ((fchown(fd, geteuid() == 0 ? folder.st_uid : (uid_t)-1, folder.st_gid) == 0 || errno == EPERM) &&
		    give_lock(fd, folder.st_gid, &want))
			return fd;
		close_keeping_errno(fd);
		unlinkat(dir, LOCK, 0);
		return -1;
	}
	if (errno == EACCES || errno == EROFS)
		return NO_LOCK;
	if (errno != EEXIST)
		return -1;
	// Another run's, or left by one that was killed: looked at before it
	// is opened, so that a FIFO is never opened, and again on its
	// descriptor.
	if (fstatat(dir, LOCK, &st, AT_SYMLINK_NOFOLLOW) != 0) {
		if (errno == ENOENT)  // gone since: its run has just ended
			errno = EWOULDBLOCK;
		return -1;
	}
	if ((*why = refuse_lock(-1, &st, folder.st_gid, &want)) && !S_ISREG(st.st_mode))
		return -1;
	fd = openat(dir, LOCK, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		if (errno == ENOENT)
			errno = EWOULDBLOCK;
		return -1;
	}
	if (fstat(fd, &st) == 0 && !(*why = refuse_lock(fd, &st, folder.st_gid, &want)))
		return fd;
	close_keeping_errno(fd);
	return -1;
}

// Tells whether the lock file fd is still the one named in dir.
static bool is_named_lock(int dir, int fd)
{
	struct stat held, named;
	return fstat(fd, &held) == 0 && fstatat(dir, LOCK, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
	       held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

int lock_folder(int dir, long ms, const char **why)
{
	*why = nullptr;
	// A co-author may hold it too, so the wait has a bound: short naps at
	// first, for the runs that meet every minute finish in milliseconds.
	struct timespec nap = {0, 1000000};
	for (long waited = 0;; waited += nap.tv_nsec / 1000000) {
		int fd = open_lock(dir, why);
		if (fd < 0)
			return fd;
		// A run removes the file before it lets it go, so one locked
		// that no longer has the name is a lock no more.
		if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
			if (is_named_lock(dir, fd))
				return fd;
			errno = EWOULDBLOCK;
		}
		close_keeping_errno(fd);
		if (errno != EWOULDBLOCK || waited >= ms || is_stopped())
			return -1;
		nanosleep(&nap, nullptr);
		nap.tv_nsec = nap.tv_nsec < 64000000 ? 2 * nap.tv_nsec : nap.tv_nsec;
	}
}

bool holds_lock(int dir, int lock)
{
	return lock < 0 || is_named_lock(dir, lock);
}

bool unlock_folder(int dir, int lock)
{
	if (lock < 0)
		return true;
	bool named = is_named_lock(dir, lock);
	if (named)
		unlinkat(dir, LOCK, 0);
	close(lock);
	return named;
}

// Tells whether entry is a fresh name that open_draft gives a draft of
// name: ".", name, "." and twelve letters or digits.
static bool is_draft_of(const char *entry, const char *name)
{
	size_t len = strlen(name), marks = 0;
	if (entry[0] != '.' || strncmp(entry + 1, name, len) != 0 || entry[len + 1] != '.')
		return false;
	const char *mark = entry + len + 2;
	while (isalnum((unsigned char)mark[marks]))
		marks++;
	return marks == 12 && mark[marks] == '\0';
}

void remove_stale_drafts(DIR *dir, const char *const *names, size_t count)
{
	int fd = dirfd(dir);
	time_t hour_ago = time(nullptr) - 60 * 60;
	while (struct dirent *entry = readdir(dir)) {
		for (size_t i = 0; i < count; i++) {
			struct stat st;
			if (is_draft_of(entry->d_name, names[i]) &&
			    fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
			    st.st_mtime < hour_ago)
				unlinkat(fd, entry->d_name, 0);
		}
	}
	rewinddir(dir);
}

bool look_at(int dir, const char *name, seen *was)
{
	was->exists = fstatat(dir, name, &was->st, AT_SYMLINK_NOFOLLOW) == 0;
	return was->exists || errno == ENOENT;
}

// A file's modification and change times, whose fields' names differ on
// macOS.
#ifdef __APPLE__
static const struct timespec *modified(const struct stat *st)
{
	return &st->st_mtimespec;
}

static const struct timespec *changed(const struct stat *st)
{
	return &st->st_ctimespec;
}
#else
static const struct timespec *modified(const struct stat *st)
{
	return &st->st_mtim;
}

static const struct timespec *changed(const struct stat *st)
{
	return &st->st_ctim;
}
#endif

static bool is_same_time(const struct timespec *a, const struct timespec *b)
{
	return a->tv_sec == b->tv_sec && a->tv_nsec == b->tv_nsec;
}

bool is_unchanged(int dir, const char *name, const seen *was)
{
	seen now;
	if (!look_at(dir, name, &now) || now.exists != was->exists)
		return false;
	const struct stat *a = &now.st, *b = &was->st;
	return !now.exists || (a->st_dev == b->st_dev && a->st_ino == b->st_ino && a->st_size == b->st_size &&
			       is_same_time(modified(a), modified(b)) && is_same_time(changed(a), changed(b)));
}

bool is_replaceable(int dir, const char *name)
{
	seen there;
	return look_at(dir, name, &there) && (!there.exists || S_ISREG(there.st.st_mode) || S_ISLNK(there.st.st_mode));
}

// Tells whether the n bytes at a and b are the same, eight at a time: some
// C libraries compare a byte at a time.
static bool is_equal(const char *a, const char *b, size_t n)
{
	uint64_t x, y;
	for (; n >= 8; a += 8, b += 8, n -= 8) {
		memcpy(&x, a, 8);
		memcpy(&y, b, 8);
		if (x != y)
			return false;
	}
	return memcmp(a, b, n) == 0;
}

// Compares the n bytes at buf with the next n of c's, in chunks: a file is
// read no further than what is written to it, whatever its size.
static size_t compare(comparison *c, const char *buf, size_t n)
{
	for (size_t done = 0, len; done < n; done += len) {
		char chunk[16 << 10];
		len = n - done < sizeof chunk ? n - done : sizeof chunk;
		const char *old = c->text && !c->differs ? c->text + c->at : chunk;
		// Past a difference, the bytes are only counted.
		c->differs = c->differs || c->size - c->at < (off_t)len ||
			     (!c->text && pread(c->fd, chunk, len, c->at) != (ssize_t)len) || !is_equal(old, buf + done, len);
		c->at += len;
	}
	return c->most > 0 && c->at > c->most ? 0 : n;
}

// Gives out, a comparison's stream, a buffer of its own: a C library's
// default, of 1 KiB in musl, would compare a file a pread at a time for
// every KiB. One comparison is open at a time.
static FILE *buffer_comparison(FILE *out)
{
	static char buffer[64 << 10];
	if (out)
		setvbuf(out, buffer, _IOFBF, sizeof buffer);
	return out;
}

#if defined(__APPLE__) || defined(__OpenBSD__) || defined(__NetBSD__) || defined(__DragonFly__)
static int compare_written(void *c, const char *buf, int n)
{
	return (int)compare((comparison *)c, buf, n);
}

FILE *open_comparison(comparison *c)
{
	return buffer_comparison(funopen(c, nullptr, compare_written, nullptr, nullptr));
}
#else
static ssize_t compare_written(void *c, const char *buf, size_t n)
{
	return compare((comparison *)c, buf, n);
}

FILE *open_comparison(comparison *c)
{
	cookie_io_functions_t calls = {nullptr, compare_written, nullptr, nullptr};
	return buffer_comparison(fopencookie(c, "w", calls));
}
#endif

bool is_same(FILE *out, const comparison *c)
{
	return fclose(out) == 0 && !c->differs && c->at == c->size;
}

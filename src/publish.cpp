// SPDX-License-Identifier: ISC
// Replaces a file in a folder that others may write, as a mail delivery to
// a Maildir does: every call is relative to the folder's descriptor, the
// new file gets a fresh name that no one can have planted, and it is whole
// and synced before it is renamed into place.
#include "publish.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#endif

// The signals that stop a process by default and that it may catch.
static const int stopping[] = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2};

void hold_signals()
{
	sigset_t set;
	sigemptyset(&set);
	for (int sig : stopping)
		sigaddset(&set, sig);
	sigprocmask(SIG_BLOCK, &set, nullptr);
}

bool is_stopped()
{
	sigset_t pending;
	sigpending(&pending);
	// A write to a standard error that no one reads raises SIGPIPE as well:
	// that one is taken and stops nothing. One sent at the same time is
	// taken with it.
	if (sigismember(&pending, SIGPIPE) && ferror(stderr)) {
		sigset_t broken;
		int sig;
		sigemptyset(&broken);
		sigaddset(&broken, SIGPIPE);
		sigwait(&broken, &sig);
		sigdelset(&pending, SIGPIPE);
		clearerr(stderr);
	}
	for (int sig : stopping)
		if (sigismember(&pending, sig))
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

FILE *open_draft(int dir, const char *name, draft *d)
{
	// The new files go out in large blocks, one file at a time.
	static char buffer[32 * 1024];
	d->name = name;
	int fd = -1;
	for (int tries = 0; fd < 0 && tries < 100; tries++) {
		if (!pick_fresh(d))
			break;
		fd = openat(dir, d->fresh, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
		if (fd < 0 && errno != EEXIST)
			break;
	}
	if (fd < 0) {
		d->fresh[0] = '\0';
		return nullptr;
	}
	struct stat st;
	FILE *out = nullptr;
	// The mode whatever the umask: the server may run as another user.
	if (fstat(fd, &st) == 0 && fchmod(fd, 0644) == 0)
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

bool install_draft(int dir, draft *d)
{
	if (renameat(dir, d->fresh, dir, d->name) != 0)
		return false;
	d->fresh[0] = '\0';
	return true;
}

bool holds_draft(int dir, const draft *d)
{
	return is_draft(dir, d->name, d);
}

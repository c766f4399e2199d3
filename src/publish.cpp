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
		sigset_t pipe;
		int sig;
		sigemptyset(&pipe);
		sigaddset(&pipe, SIGPIPE);
		sigwait(&pipe, &sig);
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
	unsigned char random[12];
	int len = snprintf(d->fresh, sizeof d->fresh, ".%s.", d->name);
	if (len < 0 || (size_t)len + sizeof random >= sizeof d->fresh || getentropy(random, sizeof random) != 0)
		return false;
	for (unsigned char c : random)
		d->fresh[len++] = alphabet[c % (sizeof alphabet - 1)];
	d->fresh[len] = '\0';
	return true;
}

static bool write_all(int fd, const char *text, size_t len)
{
	while (len > 0) {
		ssize_t n = write(fd, text, len);
		if (n < 0)
			return false;
		text += n;
		len -= n;
	}
	return true;
}

bool write_draft(int dir, const char *name, const char *text, size_t len, draft *d)
{
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
		return false;
	}
	struct stat st;
	if (fstat(fd, &st) != 0) {
		int error = errno;
		close(fd);
		unlinkat(dir, d->fresh, 0);  // made a moment ago, and no stat to check it by
		d->fresh[0] = '\0';
		errno = error;
		return false;
	}
	d->dev = st.st_dev;
	d->ino = st.st_ino;
	// The mode whatever the umask: the server may run as another user.
	bool written = fchmod(fd, 0644) == 0 && write_all(fd, text, len) && fsync(fd) == 0;
	int error = errno;
	if (close(fd) != 0 && written) {
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

// SPDX-License-Identifier: ISC
#include "walk.h"

#include "core.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

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

// Adds uid, and the group gid, to what p knows of the placers; returns
// false when memory runs out.
static bool add_member(placers *p, uid_t uid, gid_t gid, size_t *room)
{
	if (!make_room(&p->groups, room, p->n_groups + 1, sizeof *p->groups))
		return false;
	p->groups[p->n_groups++] = {uid, gid};
	return true;
}

static int compare_members(const void *a, const void *b)
{
	const membership *x = (const membership *)a, *y = (const membership *)b;
	return x->uid != y->uid ? (x->uid > y->uid) - (x->uid < y->uid) : (x->gid > y->gid) - (x->gid < y->gid);
}

// Tells whether name is one of the names in the len bytes of list, each
// ended by a NUL.
static bool is_listed(const char *name, const char *list, size_t len)
{
	for (const char *s = list; s < list + len; s += strlen(s) + 1)
		if (strcmp(s, name) == 0)
			return true;
	return false;
}

// Tells whether id is one of the n ids.
template <class Id> static bool is_one_of(Id id, const Id *ids, size_t n)
{
	for (size_t i = 0; i < n; i++)
		if (ids[i] == id)
			return true;
	return false;
}

// The users and groups whose entries of a folder's mode and ACL let them
// write it.
struct writers {
	uid_t *uids;
	size_t n_uids;
	gid_t *gids;
	size_t n_gids;
	bool anyone;
};

// Lists in *list, of *len bytes, the members that the group database lists
// for any of the groups of w, each name ended by a NUL, reading every line,
// since two may share a number; returns false when memory runs out or one
// of the groups is in no line, whose members are then unknown.
static bool list_members(const writers *w, char **list, size_t *len)
{
	FILE *out = open_memstream(list, len);
	size_t known = 0;
	bool *found = (bool *)calloc(w->n_gids + 1, sizeof *found);
	setgrent();
	for (struct group *g; out && found && (g = getgrent());) {
		for (size_t i = 0; i < w->n_gids; i++) {
			if (w->gids[i] != g->gr_gid)
				continue;
			known += !found[i];
			found[i] = true;
			for (char **m = g->gr_mem; *m; m++)
				fwrite(*m, 1, strlen(*m) + 1, out);
		}
	}
	endgrent();
	free(found);
	return out && fclose(out) == 0 && found && known == w->n_gids;
}

// A placer's name in the user database, kept while the groups are read.
struct named {
	char *name;
	uid_t uid;
};

// Fills p with those who may have written the folder, as the databases know
// them: its owner, w's users, and the members of w's groups, listed or
// having one as their primary group; and the groups the databases put each
// of them in. Returns false when memory runs out or a group is unknown.
static bool find_members(placers *p, uid_t owner, const writers *w)
{
	char *members = nullptr;
	named *names = nullptr;
	size_t members_len = 0, room = 0, n = 0, names_room = 0;
	bool ok = add_member(p, owner, (gid_t)-1, &room) && list_members(w, &members, &members_len);
	// A user number that no database names is a placer too, in no group.
	for (size_t i = 0; ok && i < w->n_uids; i++)
		ok = add_member(p, w->uids[i], (gid_t)-1, &room);
	setpwent();
	for (struct passwd *pw; ok && (pw = getpwent());) {
		if (pw->pw_uid != owner && !is_one_of(pw->pw_uid, w->uids, w->n_uids) && !is_one_of(pw->pw_gid, w->gids, w->n_gids) &&
		    !is_listed(pw->pw_name, members, members_len))
			continue;
		char *name = strdup(pw->pw_name);
		ok = name && add_member(p, pw->pw_uid, pw->pw_gid, &room) && make_room(&names, &names_room, n + 1, sizeof *names);
		if (ok)
			names[n++] = {name, pw->pw_uid};
		else
			free(name);
	}
	endpwent();
	setgrent();
	for (struct group *g; ok && (g = getgrent());)
		for (char **m = g->gr_mem; ok && *m; m++)
			for (size_t i = 0; ok && i < n; i++)
				if (strcmp(names[i].name, *m) == 0)
					ok = add_member(p, names[i].uid, g->gr_gid, &room);
	endgrent();
	for (size_t i = 0; i < n; i++)
		free(names[i].name);
	free(names);
	free(members);
	return ok;
}

// Tells whether user is in the group gid, as p knows.
static bool is_member(const placers *p, uid_t user, gid_t gid)
{
	membership key = {user, gid};
	return bsearch(&key, p->groups, p->n_groups, sizeof key, compare_members);
}

// A file's access ACL, as the kernel keeps it in the extended attribute
// system.posix_acl_access: a version word, 2, then for each entry a tag,
// its permissions and an id, all little-endian whatever the machine. The
// room is the most an extended attribute may hold. A file without one has
// its mode alone.
struct acl {
	unsigned char raw[4 + 65536];
	size_t n;
};
enum acl_tag { USER_OBJ = 0x01, USER = 0x02, GROUP_OBJ = 0x04, GROUP = 0x08, MASK = 0x10, OTHER = 0x20 };

static unsigned read_le(const unsigned char *s, int bytes)
{
	unsigned n = 0;
	while (bytes-- > 0)
		n = n << 8 | s[bytes];
	return n;
}

#ifdef __linux__
// Reads into room bytes of buf the extended attribute that holds the access
// ACL of the file open as fd, or that an O_PATH descriptor holds.
static ssize_t get_acl(int fd, unsigned char *buf, size_t room)
{
	ssize_t len = fgetxattr(fd, "system.posix_acl_access", buf, room);
	if (len >= 0 || errno != EBADF)
		return len;
	char path[32];
	snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
	return getxattr(path, "system.posix_acl_access", buf, room);
}
#endif

// Reads the access ACL of the file open as fd, or that an O_PATH
// descriptor holds, into *a; returns false when it cannot be read.
static bool read_acl(int fd, acl *a)
{
	a->n = 0;
#ifdef __linux__
	// The kernel clears as much room as it is given, on every call: room
	// for a few entries first, then for the most.
	ssize_t len = get_acl(fd, a->raw, 4 + 8 * 16);
	if (len < 0 && errno == ERANGE)
		len = get_acl(fd, a->raw, sizeof a->raw);
	if (len < 0)
		return errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP;
	if (len < 4 || (len - 4) % 8 != 0 || read_le(a->raw, 4) != 2)
		return false;
	a->n = (len - 4) / 8;
#else
	(void)fd;
#endif
	return true;
}

// The tag, permissions and id of ACL entry i.
static acl_tag read_tag(const acl *a, size_t i, unsigned *perm, unsigned *id)
{
	const unsigned char *e = a->raw + 4 + 8 * i;
	*perm = read_le(e + 2, 2);
	*id = read_le(e + 4, 4);
	return (acl_tag)read_le(e, 2);
}

// Tells whether Linux consults the ACL a of the file st for a user other
// than its owner: where it holds more than the three classes, and the
// mode's group bits, its mask, are not empty.
static bool is_consulted(const struct stat *st, const acl *a)
{
	return a->n > 3 && (st->st_mode & 070);
}

// The permissions that the mask of a leaves to named entries and the
// owning group.
static unsigned read_mask(const acl *a)
{
	unsigned perm, id, mask = 7;
	for (size_t i = 0; i < a->n; i++)
		if (read_tag(a, i, &perm, &id) == MASK)
			mask = perm;
	return mask;
}

// Tells whether bits hold all of want.
static bool holds(unsigned bits, unsigned want)
{
	return (bits & want) == want;
}

// Tells whether user, in the groups p knows of, is granted want (4 to read,
// 3 to write and search a folder, 1 to search it) on the file st with the
// ACL a, as Linux decides: the owner by the owner's bits; where the ACL is
// consulted, a named user's entry, else the groups' entries that hold the
// user, any of which may grant it, else the others'; where not, the
// owning group's bits for a member, else the others'.
static bool grants(const placers *p, uid_t user, const struct stat *st, const acl *a, unsigned want)
{
	if (user == 0)
		return true;
	if (user == st->st_uid)
		return holds(st->st_mode >> 6, want);
	if (!is_consulted(st, a))
		return holds(is_member(p, user, st->st_gid) ? st->st_mode >> 3 : st->st_mode, want);
	unsigned perm, id, mask = read_mask(a);
	bool grouped = false, granted = false;
	for (size_t i = 0; i < a->n; i++) {
		acl_tag tag = read_tag(a, i, &perm, &id);
		if (tag == USER && id == user)
			return holds(perm & mask, want);
		if ((tag == GROUP_OBJ || tag == GROUP) && is_member(p, user, tag == GROUP ? id : st->st_gid)) {
			grouped = true;
			granted = granted || holds(perm & mask, want);
		}
	}
	return grouped ? granted : holds(st->st_mode, want);
}

// Tells whether every possible user is granted want on the file st with
// the ACL a: its owner, unless root, each named user but the owner, a
// member of each group alone, and a user in no group of it.
static bool grants_all(const struct stat *st, const acl *a, unsigned want)
{
	if ((st->st_uid != 0 && !holds(st->st_mode >> 6, want)) || !holds(st->st_mode, want))
		return false;
	if (!is_consulted(st, a))
		return holds(st->st_mode >> 3, want);
	// The owning group's entry and a named entry of that group hold the
	// same members, so either may grant them; the kernel keeps one named
	// entry a group, so each other group's entry must grant alone.
	unsigned perm, id, mask = read_mask(a);
	bool owning = false;
	for (size_t i = 0; i < a->n; i++) {
		acl_tag tag = read_tag(a, i, &perm, &id);
		bool own_group = tag == GROUP_OBJ || (tag == GROUP && id == st->st_gid), granted = holds(perm & mask, want);
		owning = owning || (own_group && granted);
		if (!granted && ((tag == USER && id != st->st_uid) || (tag == GROUP && !own_group)))
			return false;
	}
	return owning;
}

// Tells whether every placer of p is granted want on the file st with the
// ACL a.
static bool grants_placers(const placers *p, const struct stat *st, const acl *a, unsigned want)
{
	if (p->anyone)
		return grants_all(st, a, want);
	for (size_t i = 0; i < p->n_users; i++)
		if (!grants(p, p->users[i], st, a, want))
			return false;
	return true;
}

// Lists in *w the users and groups that the folder st's ACL a, or its mode
// alone, lets write it, besides its owner; returns false when memory runs
// out.
static bool find_writers(const struct stat *st, const acl *a, writers *w)
{
	*w = {(uid_t *)malloc((a->n + 1) * sizeof *w->uids), 0, (gid_t *)malloc((a->n + 1) * sizeof *w->gids), 0,
	      holds(st->st_mode, 3)};
	if (!w->uids || !w->gids)
		return false;
	if (!is_consulted(st, a)) {
		if (holds(st->st_mode >> 3, 3))
			w->gids[w->n_gids++] = st->st_gid;
		return true;
	}
	unsigned perm, id, mask = read_mask(a);
	for (size_t i = 0; i < a->n; i++) {
		acl_tag tag = read_tag(a, i, &perm, &id);
		if (tag == USER && holds(perm & mask, 3))
			w->uids[w->n_uids++] = id;
		else if ((tag == GROUP_OBJ || tag == GROUP) && holds(perm & mask, 3))
			w->gids[w->n_gids++] = tag == GROUP ? id : st->st_gid;
	}
	return true;
}

// Writes n to the bytes at s, little-endian.
static void write_le(unsigned char *s, int bytes, unsigned n)
{
	for (int i = 0; i < bytes; i++, n >>= 8)
		s[i] = n & 0xFF;
}

ssize_t make_writers_acl(int dir, const struct stat *st, unsigned char *raw, mode_t *mode, mode_t *group)
{
	static acl a;
	if (!read_acl(dir, &a))
		return -1;
	*group = holds(st->st_mode >> 3, 3) ? 020 : 0;
	*mode = 0200 | *group | (holds(st->st_mode, 3) ? 02 : 0);
	if (!is_consulted(st, &a))
		return 0;
	// The folder's entries in its order, which is the kernel's, each that
	// lets write and search it granting write alone, the others nothing.
	unsigned perm, id, mask = read_mask(&a), named = 0;
	size_t n = 0;
	write_le(raw, 4, 2);
	for (size_t i = 0; i < a.n; i++) {
		acl_tag tag = read_tag(&a, i, &perm, &id);
		bool masked = tag == USER || tag == GROUP_OBJ || tag == GROUP, writes = holds(masked ? perm & mask : perm, 3);
		if ((tag == USER || tag == GROUP) && !writes)
			continue;
		named += (tag == USER || tag == GROUP) && writes;
		*group = tag == GROUP_OBJ ? (writes ? 020 : 0) : *group;
		unsigned char *e = raw + 4 + 8 * n++;
		write_le(e, 2, tag);
		write_le(e + 2, 2, tag == MASK ? (named ? 2 : 0) : writes || tag == USER_OBJ ? 2 : 0);
		write_le(e + 4, 4, id);
	}
	// With no named writer, the mode says it all; else the group's bits are
	// the mask.
	*mode = 0200 | (named ? 020 : *group) | (holds(st->st_mode, 3) ? 02 : 0);
	return named ? 4 + 8 * n : 0;
}

#if defined(__linux__) && !defined(__GLIBC__)
// Tells whether the len bytes at s hold the bytes of word.
static bool holds_word(const char *s, size_t len, const char *word)
{
	return memmem(s, len, word, strlen(word)) != nullptr;
}

// Tells whether the user record of systemd's userdb, JSON in the file
// name of dir, may put a user in the group called name, of number gid:
// it holds the name quoted, as its memberOf list does, or gid as its
// primary group. A record that cannot be read may.
static bool may_join(int dir, const char *file, const char *name, gid_t gid)
{
	char record[64 << 10], quoted[300], key[40];
	int fd = openat(dir, file, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	ssize_t len = fd < 0 ? -1 : read(fd, record, sizeof record);
	if (fd >= 0)
		close(fd);
	if (len < 0 || len == (ssize_t)sizeof record)
		return true;
	snprintf(quoted, sizeof quoted, "\"%s\"", name);
	if (holds_word(record, len, quoted))
		return true;
	for (const char *c = record, *end = record + len; (c = (const char *)memmem(c, end - c, "\"gid\"", 5)); c++) {
		const char *n = c + 5;
		while (n < end && (*n == ' ' || *n == ':' || *n == '\t' || *n == '\n'))
			n++;
		snprintf(key, sizeof key, "%u", (unsigned)gid);
		if ((size_t)(end - n) > strlen(key) && memcmp(n, key, strlen(key)) == 0 && (n[strlen(key)] < '0' || n[strlen(key)] > '9'))
			return true;
	}
	return false;
}

// Tells whether a record in one of systemd's userdb folders may add a
// member to the group called name, of number gid: the group's own record,
// a membership in it, or a user's record that names it.
static bool is_in_userdb(const char *name, gid_t gid)
{
	static const char *const folders[] = {"/etc/userdb", "/run/userdb", "/run/host/userdb", "/usr/local/lib/userdb",
					      "/usr/lib/userdb"};
	char number[24], group[300], member[300];
	snprintf(number, sizeof number, "%u.group", (unsigned)gid);
	snprintf(group, sizeof group, "%s.group", name);
	snprintf(member, sizeof member, ":%s.membership", name);
	bool found = false;
	for (const char *folder : folders) {
		DIR *d = opendir(folder);
		for (struct dirent *e; d && !found && (e = readdir(d));) {
			size_t len = strlen(e->d_name), tail = strlen(member);
			found = strcmp(e->d_name, number) == 0 || strcmp(e->d_name, group) == 0 ||
				(len > tail && strcmp(e->d_name + len - tail, member) == 0) ||
				(len > 5 && strcmp(e->d_name + len - 5, ".user") == 0 && may_join(dirfd(d), e->d_name, name, gid));
		}
		if (d)
			closedir(d);
	}
	return found;
}

// Tells whether a service of user records runs that may add members to a
// group of /etc/group: any in /run/systemd/userdb but those that serve
// only users and groups of their own (dynamic users, containers) or pass on
// what the other sources hold; systemd-homed's may.
static bool has_user_service()
{
	static const char *const own[] = {"io.systemd.DynamicUser", "io.systemd.Multiplexer", "io.systemd.NameServiceSwitch",
					  "io.systemd.Machine"};
	DIR *d = opendir("/run/systemd/userdb");
	bool found = false;
	for (struct dirent *e; d && !found && (e = readdir(d));) {
		found = e->d_name[0] != '.';
		for (const char *name : own)
			found = found && strcmp(e->d_name, name) != 0;
	}
	if (d)
		closedir(d);
	return found;
}

// Tells whether systemd's name service may add a member to a group of w
// that /etc/group does not list.
static bool may_add_members(const writers *w)
{
	if (has_user_service())
		return true;
	for (size_t i = 0; i < w->n_gids; i++) {
		struct group *g = getgrgid(w->gids[i]);
		if (!g || is_in_userdb(g->gr_name, w->gids[i]))
			return true;
	}
	return false;
}
#endif

// Tells whether the C library reads every member of w's groups. musl reads
// the files alone: where the name service names another source (LDAP, say)
// for users or groups, the members of a group are not all known; systemd's,
// Debian's default, adds only what its records and services hold.
static bool reads_all_members(const writers *w)
{
#if defined(__linux__) && !defined(__GLIBC__)
	FILE *conf = fopen("/etc/nsswitch.conf", "re");
	char line[1024];
	bool all = true, systemd = false;
	while (conf && fgets(line, sizeof line, conf)) {
		if (strncmp(line, "passwd:", 7) != 0 && strncmp(line, "group:", 6) != 0)
			continue;
		// Sources up to a comment; "[NOTFOUND=return]" and the like are
		// actions, not sources.
		for (char *s = strchr(line, ':') + 1; all && *s && *s != '#';) {
			size_t len = strcspn(s, " \t\n#");
			bool is_systemd = len == 7 && strncmp(s, "systemd", 7) == 0;
			systemd = systemd || is_systemd;
			all = len == 0 || *s == '[' || (len == 5 && strncmp(s, "files", 5) == 0) || is_systemd;
			s += len + strspn(s + len, " \t\n");
		}
	}
	if (conf)
		fclose(conf);
	return all && !(systemd && may_add_members(w));
#else
	(void)w;
	return true;
#endif
}

placers find_placers(int dir)
{
	placers strictest = {true, true, nullptr, 0, nullptr, 0, false};
	struct stat st;
	if (fstat(dir, &st) != 0)
		return strictest;
	// Where the mode's group bits, which an ACL's mask shows, let no one
	// write, no ACL entry can: only the owner, or anyone.
	if (holds(st.st_mode, 3) || (!(st.st_mode & S_IWGRP) && st.st_uid == geteuid()))
		return {holds(st.st_mode, 3), holds(st.st_mode, 3), nullptr, 0, nullptr, 0, false};
	acl a;
	writers w = {};
	// Out of memory, or with a group whose members are unknown (a number
	// alone, or one this C library cannot look up), anyone could have: the
	// strictest rule.
	placers p = {true, false, nullptr, 0, nullptr, 0, false};
	bool known = ((st.st_mode & S_IWGRP) ? read_acl(dir, &a) : (a.n = 0, true)) && find_writers(&st, &a, &w);
	strictest.guessed = known && w.n_gids > 0 && !reads_all_members(&w);
	if (known && !strictest.guessed && find_members(&p, st.st_uid, &w)) {
		qsort(p.groups, p.n_groups, sizeof *p.groups, compare_members);
		p.users = (uid_t *)malloc(p.n_groups * sizeof *p.users + 1);
	}
	free(w.uids);
	free(w.gids);
	if (!p.users) {
		free_placers(&p);
		return strictest;
	}
	// A member of a group that may write is not a placer where a named
	// entry of theirs, or the owner's bits, say otherwise.
	for (size_t i = 0; i < p.n_groups; i++) {
		uid_t uid = p.groups[i].uid;
		if (uid != 0 && (p.n_users == 0 || p.users[p.n_users - 1] != uid) &&
		    (uid == st.st_uid || grants(&p, uid, &st, &a, 3)))
			p.users[p.n_users++] = uid;
	}
	p.checked = p.n_users > 1 || (p.n_users == 1 && p.users[0] != geteuid());
	return p;
}

void free_placers(placers *p)
{
	free(p->users);
	free(p->groups);
}

bool may_read(const placers *p, const struct stat *st, int fd)
{
	if (!p->checked)
		return true;
	acl a;
	return read_acl(fd, &a) && grants_placers(p, st, &a, 4);
}

// Returns fd, just opened, if it holds the file pinned, or with no pin a
// regular file that who could all read; else closes it and returns why
// not, or -1 with errno set when it could not be looked at.
static int check_opened(int fd, const struct stat *pinned, const placers *who)
{
	struct stat st;
	if (fstat(fd, &st) != 0) {
		close_keeping_errno(fd);
		return -1;
	}
	int why = pinned ? (st.st_dev == pinned->st_dev && st.st_ino == pinned->st_ino ? 0 : UNSAFE_OPEN) :
		  !S_ISREG(st.st_mode) ? NOT_A_FILE : may_read(who, &st, fd) ? 0 : NOT_SHARED;
	if (why == 0)
		return fd;
	close(fd);
	return why;
}

#ifdef O_PATH
// Opens for reading the very file st that the O_PATH descriptor pin holds
// if who could all read it, as its ACL read through the pin says: a name
// could be swapped meanwhile, the descriptor cannot. Without /proc there is
// no such way, and the entry is refused; so it is when what opened is not
// that file, as where a plain folder stands in for /proc.
static int reopen(int pin, const struct stat *st, const placers *who)
{
	if (!may_read(who, st, pin))
		return NOT_SHARED;
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

// Tells whether user, and every placer of who, may search the folder that
// at holds, as the kernel decides, with the groups who knows of.
static bool may_search(int at, uid_t user, const placers *who)
{
	struct stat st;
	acl a;
	return fstat(at, &st) == 0 && read_acl(at, &a) && grants(who, user, &st, &a, 1) && grants_placers(who, &st, &a, 1);
}

// Opens with O_PATH what target names, from dir or from "/", one component
// at a time, each relative to the one before and without following a link,
// so that "." and ".." are taken as the kernel takes them and no link is
// passed through: a folder on the way that is a link fails with ELOOP, and
// a link at the end is opened as itself, for the caller to see. Where who
// are checked, each folder on the way must be one that owner, the link's,
// and every placer may search, else EACCES: root walks where they could
// not. Returns a
// descriptor of its own, or -1 with errno set.
static int walk_target(int dir, char *target, uid_t owner, const placers *who)
{
	int at = *target == '/' ? open("/", O_PATH | O_DIRECTORY | O_CLOEXEC) : dir;
	for (char *name = target + strspn(target, "/"); at >= 0 && *name;) {
		char *end = name + strcspn(name, "/"), sep = *end;
		*end = '\0';
		int next = -1;
		struct stat st;
		if (who->checked && !may_search(at, owner, who))
			errno = EACCES;
		else if ((next = openat(at, name, O_PATH | O_NOFOLLOW | O_CLOEXEC | (sep ? O_DIRECTORY : 0))) < 0 &&
			 errno == ENOTDIR && fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
			errno = ELOOP;
		*end = sep;
		if (at != dir)
			close_keeping_errno(at);
		at = next;
		name = end + strspn(end, "/");
	}
	return at;
}

// Opens the target of the symbolic link that link holds, owned by owner, if
// it is a regular file of that owner reached from dir through no other link,
// that the owner could read, and who could all read it. An O_PATH
// descriptor opens no device and waits for no FIFO, so the target is looked
// at on the descriptor that is then reopened.
static int open_target(int dir, int link, uid_t owner, const placers *who)
{
	char target[PATH_MAX];
	ssize_t len = readlinkat(link, "", target, sizeof target);
	if (len < 0)
		return -1;
	if ((size_t)len == sizeof target)
		return LINK_REFUSED;
	target[len] = '\0';

	int file = walk_target(dir, target, owner, who);
	if (file < 0)
		return errno == ELOOP ? refuse_link(dir, target) : -1;
	struct stat st;
	int fd = fstat(file, &st) != 0 ? -1 :
		 S_ISLNK(st.st_mode) ? refuse_link(dir, target) :
		 !S_ISREG(st.st_mode) || st.st_uid != owner || (who->checked && owner && !(st.st_mode & S_IRUSR)) ? LINK_REFUSED :
		 reopen(file, &st, who);
	close_keeping_errno(file);
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
		 !S_ISREG(st.st_mode) ? NOT_A_FILE : reopen(pin, &st, who);
	close_keeping_errno(pin);
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
	int fd = S_ISLNK(st.st_mode) ? LINK_REFUSED : !S_ISREG(st.st_mode) ? NOT_A_FILE :
		 openat(dir, name, READ_FLAGS | O_NOFOLLOW);
	if (fd >= 0 && (fd = check_opened(fd, &st, nullptr)) >= 0 && !may_read(who, &st, fd)) {
		close(fd);
		return NOT_SHARED;
	}
	return fd;
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

// Reads from fd into head, of size bytes, until it holds the first line end
// or is full, which one read does for a regular file; returns the byte
// count, or -1 on a read error. pread fails on a FIFO, socket or directory,
// so that one swapped in before the open is never read.
static ssize_t read_head(int fd, char *head, size_t size)
{
	size_t n = 0;
	for (;;) {
		ssize_t got = pread(fd, head + n, size - n, n);
		if (got < 0)
			return -1;
		if (got == 0 || memchr(head + n, '\n', got))
			return n + got;
		n += got;
		if (n == size)
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
	entry e = {name, nullptr, 0, CANNOT_OPEN, 0, 0, {}, {}, {}};
	int fd = open_entry(dir, name, type, &l->who);
	char line[LINE_SIZE], *head = l->buffer ? l->buffer : line;
	if (fd >= 0) {
		ssize_t n = read_head(fd, head, l->buffer ? l->size : LINE_SIZE - 1);
		e.error = errno;
		close(fd);
		e.why = n < 0 ? CANNOT_READ : NO_HEADING;
		if (n > 0)
			e.body = {head, head + n};
		if (n > 0 && head[0] == '#') {
			e.head = head;
			e.n = (size_t)n < LINE_SIZE - 1 ? n : LINE_SIZE - 1;
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
		const char *name = validate_name(entry->d_name);
		if (!name && l->take_name && strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
			l->take_name(entry->d_name, l->context);
		if (!make_link(l, fd, name, entry->d_type))
			status = 1;
	}
	if (errno != 0) {
		struct entry e = {nullptr, nullptr, 0, CANNOT_READ, errno, 0, {}, {}, {}};
		l->take(&e, l->context);
		status = 1;
	}
	return status;
}

// SPDX-License-Identifier: ISC
// gemlog-index [-u URL] DIR [TITLE]: publishes the index of the gemlog in
// DIR, as quenlet lists it, newest entry first, as DIR/index.gmi, in place
// of the entries of the index there and keeping the author's text around
// them; with -u, its Atom feed beside it as DIR/atom.xml.
#include "core.h"
#include "feed.h"
#include "publish.h"
#include "walk.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char INDEX[] = "index.gmi";

// len bytes of text at s.
struct text {
	char *s;
	size_t len;
};

// Writes "gemlog-index: ", folder shown safely, and what printf makes of
// format, as one line on standard error.
static void say(const char *folder, const char *format, ...)
{
	char rest[512];
	va_list args;
	va_start(args, format);
	vsnprintf(rest, sizeof rest, format, args);
	va_end(args);
	report("gemlog-index: ", folder, rest);
}

static int compare_newest_first(const void *a, const void *b)
{
	return strcmp(*(char *const *)b, *(char *const *)a);
}

// Splits list, lines that each end in a line end, into strings in place,
// and returns them sorted in reverse byte order, newest first, their count
// in *n; returns nullptr when memory runs out.
static char **sort_lines(text list, size_t *n)
{
	size_t count = 0;
	for (size_t i = 0; i < list.len; i++)
		count += list.s[i] == '\n';
	char **lines = (char **)malloc((count + 1) * sizeof *lines);
	if (!lines)
		return nullptr;
	char *line = list.s;
	for (size_t i = 0; i < count; i++) {
		lines[i] = line;
		line = (char *)memchr(line, '\n', list.s + list.len - line);
		*line++ = '\0';
	}
	qsort(lines, count, sizeof *lines, compare_newest_first);
	*n = count;
	return lines;
}

// Tells whether an index.gmi described by st may be read: a regular file
// with one link. Another link could be a file of another user's, planted.
static bool is_own_file(const struct stat *st)
{
	return S_ISREG(st->st_mode) && st->st_nlink == 1;
}

// Reads fd to its end into *t, with room for size bytes at first; returns
// false with errno set when that fails.
static bool read_all(int fd, size_t size, text *t)
{
	size_t room = size + 1;
	*t = {(char *)malloc(room), 0};
	for (char *more = t->s; more; more = t->len < room ? t->s : (char *)realloc(t->s, room *= 2)) {
		t->s = more;
		ssize_t got = read(fd, t->s + t->len, room - t->len);
		if (got <= 0)
			return got == 0;
		t->len += got;
	}
	return false;
}

static bool refuse_old(const char *folder, const char *why)
{
	say(folder, "/%s: %s; left as it is", INDEX, why);
	return false;
}

// Reads dir's index.gmi into *old, left empty when there is none or when a
// symbolic link stands there, which is replaced and never followed; returns
// false, having said why, when it is anything else than a regular file with
// one link or cannot be read. It is looked at before it is opened, so that
// a device or FIFO there is not even opened unless swapped in meanwhile, and
// again on its descriptor.
static bool read_old(int dir, const char *folder, text *old)
{
	*old = {nullptr, 0};
	struct stat st;
	if (fstatat(dir, INDEX, &st, AT_SYMLINK_NOFOLLOW) != 0)
		return errno == ENOENT || refuse_old(folder, strerror(errno));
	if (S_ISLNK(st.st_mode))
		return true;
	const char *not_own = "not a regular file with one link";
	if (!is_own_file(&st))
		return refuse_old(folder, not_own);
	int fd = openat(dir, INDEX, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd < 0)
		return refuse_old(folder, strerror(errno));
	const char *why = fstat(fd, &st) != 0 ? strerror(errno) : !is_own_file(&st) ? not_own :
			  !read_all(fd, st.st_size, old) ? strerror(errno) : nullptr;
	close(fd);
	return !why || refuse_old(folder, why);
}

// Where the line after the one at line starts, or end.
static const char *next_line(const char *line, const char *end)
{
	const char *line_end = (const char *)memchr(line, '\n', end - line);
	return line_end ? line_end + 1 : end;
}

// Tells whether the line [s, end) is a level-1 heading: "#" not followed
// by "#".
static bool is_level_1(const char *s, const char *end)
{
	return s < end && s[0] == '#' && (end - s == 1 || s[1] != '#');
}

// Tells whether the line [s, end) links to an entry: "=>", spaces or tabs,
// then a date. A link written "./2021-..." is the author's own.
static bool is_entry_line(const char *s, const char *end)
{
	if (end - s < 2 || s[0] != '=' || s[1] != '>')
		return false;
	for (s += 2; s < end && (*s == ' ' || *s == '\t'); s++)
		continue;
	return starts_with_date(s, end - s);
}

// Tells whether the line [s, end) holds nothing but blanks and its end.
static bool is_blank(const char *s, const char *end)
{
	for (; s < end; s++)
		if (*s != ' ' && *s != '\t' && *s != '\r' && *s != '\n')
			return false;
	return true;
}

// Writes to page the text [head, end) that comes before the entries, with
// title, if any, as its first line: in place of a level-1 heading there,
// keeping its line end, else on top with a blank line after it.
static void write_head(FILE *page, const char *head, const char *end, const char *title)
{
	const char *next = head < end ? next_line(head, end) : end;
	if (title && is_level_1(head, next)) {
		// The line's end is kept: "\r\n", "\n", or none at the end.
		head = next > head && next[-1] == '\n' ? next - 1 - (next - 1 > head && next[-2] == '\r') : next;
		fprintf(page, "# %s", title);
	} else if (title) {
		fprintf(page, "# %s\n\n", title);
	}
	if (head < end)
		fwrite(head, 1, end - head, page);
}

// The line ends that put a blank line after the text [s, s + len): none
// after no text or a blank line.
static const char *end_with_blank_line(const char *s, size_t len)
{
	if (len == 0)
		return "";
	if (s[len - 1] != '\n')
		return "\n\n";
	size_t last = len - 1;
	while (last > 0 && s[last - 1] != '\n')
		last--;
	return is_blank(s + last, s + len) ? "" : "\n";
}

// An old index split around its entry lines: the author's text before
// them runs from old.s to first, after them from last to the end; with no
// entry line, both are the end.
struct parts {
	text old;
	const char *first, *last;
};

// Finds the entry lines of old; returns false, having said so, when text
// other than blank lines stands between two.
static bool split_old(text old, const char *folder, parts *p)
{
	const char *end = old.s + old.len;
	bool text_since = false;
	*p = {old, end, end};
	for (const char *line = old.s, *next; line < end; line = next) {
		next = next_line(line, end);
		if (!is_entry_line(line, next)) {
			text_since = text_since || (p->first < end && !is_blank(line, next));
		} else if (text_since) {
			say(folder, "/%s: text stands between its entries; left as it is", INDEX);
			return false;
		} else {
			p->first = p->first < end ? p->first : line;
			p->last = next;
		}
	}
	return true;
}

// Writes the new index to out: the old text around its entry lines, or all
// of it and a blank line when it has none, with title as its first heading,
// and the n lines in place of the entries.
static void write_index(FILE *out, const parts *p, char *const *lines, size_t n, const char *title)
{
	const char *end = p->old.s + p->old.len;
	write_head(out, p->old.s, p->first, title);
	// A title on top ends in a blank line, one in place of a heading the
	// way the text did.
	if (p->first == end)
		fputs(end_with_blank_line(p->old.s, p->old.len), out);
	for (size_t i = 0; i < n; i++) {
		fputs(lines[i], out);
		putc('\n', out);
	}
	if (p->last < end)
		fwrite(p->last, 1, end - p->last, out);
}

// Tells whether title may stand in a heading: no line end, no control
// character, nothing that reorders the line, well-formed UTF-8.
static bool is_plain(const char *title)
{
	size_t len = strlen(title);
	char shown[len + 1];
	return show_text(shown, title, len) == len && memcmp(shown, title, len) == 0;
}

// What a run reads, which main frees: the entry lines of the folder, in
// list, sorted newest first in lines, and the old index.
struct sources {
	text list, old;
	char **lines;
	size_t n;
};

// Lists folder's entries, newest first, into src; returns false, having
// said why, when it cannot be read to its end, an entry failed for want of
// resources, or memory runs out.
static bool list_entries(DIR *dir, const char *folder, sources *src)
{
	text &list = src->list;
	FILE *out = open_memstream(&list.s, &list.len);
	if (!out) {
		say(folder, ": %s", strerror(errno));
		return false;
	}
	int status = scan(dir, out, false);
	status |= ferror(out) | (fclose(out) != 0);
	if (status != 0) {
		say(folder, ": cannot be indexed; %s left as it is", INDEX);
		return false;
	}
	src->lines = sort_lines(list, &src->n);
	if (!src->lines)
		say(folder, ": %s", strerror(ENOMEM));
	return src->lines;
}

// The text of the first level-1 heading in t, without the blanks around
// it, its length in *len; nullptr when there is none.
static const char *find_heading(text t, size_t *len)
{
	const char *end = t.s + t.len;
	for (const char *line = t.s, *next; line < end; line = next) {
		next = next_line(line, end);
		if (is_level_1(line, next)) {
			const char *s = line + 1, *e = next;
			while (s < e && (*s == ' ' || *s == '\t'))
				s++;
			while (e > s && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\r' || e[-1] == '\n'))
				e--;
			*len = e - s;
			return s;
		}
	}
	return nullptr;
}

// The feed's title: title, else the new index's first heading, which is the
// old one's, else the folder's name; its length in *len.
static const char *name_feed(const char *title, text old, const char *folder, size_t *len)
{
	const char *name = title ? title : find_heading(old, len);
	if (title)
		*len = strlen(title);
	if (name)
		return name;
	size_t end = strlen(folder);
	while (end > 1 && folder[end - 1] == '/')
		end--;
	name = folder + end;
	while (name > folder && name[-1] != '/')
		name--;
	*len = folder + end - name;
	return name;
}

// The file names to publish, the index first.
static const char *const names[] = {INDEX, "atom.xml"};

// Says which of the count files are left as they were.
static const char *left_alone(size_t count)
{
	return count > 1 ? "index.gmi and atom.xml" : INDEX;
}

// Renames the count drafts, all whole, into place, then syncs dir; returns
// the exit status, having said what failed and which files were replaced.
static int install(int dir, const char *folder, draft *drafts, size_t count)
{
	if (is_stopped()) {
		for (size_t i = 0; i < count; i++)
			discard_draft(dir, &drafts[i]);
		say(folder, ": stopped by a signal; %s left as it is", left_alone(count));
		return 1;
	}
	size_t installed = 0;
	int status = 0;
	for (; installed < count; installed++) {
		if (!install_draft(dir, &drafts[installed])) {
			int error = errno;
			for (size_t i = installed; i < count; i++)
				discard_draft(dir, &drafts[i]);
			say(folder, "/%s: cannot be replaced: %s; %s", names[installed], strerror(error),
			    installed ? "index.gmi was replaced" : count > 1 ? "atom.xml left as it is too" : "left as it is");
			status = 1;
			break;
		}
		if (!holds_draft(dir, &drafts[installed])) {
			say(folder, "/%s: replaced, but another file has taken its place since", names[installed]);
			status = 1;
		}
	}
	if (installed > 0 && fsync(dir) != 0) {
		say(folder, ": %s replaced, but the change may not survive a crash: %s", left_alone(installed),
		    strerror(errno));
		status = 1;
	}
	return status;
}

// Publishes the index of the journal in dir, called folder, and its feed
// if url is given, from src, which it fills; returns the exit status.
static int publish(DIR *dir, const char *folder, const char *url, const char *title, sources *src)
{
	int fd = dirfd(dir);
	parts index;
	if (!list_entries(dir, folder, src) || !read_old(fd, folder, &src->old) || !split_old(src->old, folder, &index))
		return 1;

	// Each file is written whole and synced before any is renamed.
	draft drafts[2];
	size_t count = url ? 2 : 1, written = 0;
	for (; written < count; written++) {
		FILE *out = open_draft(fd, names[written], &drafts[written]);
		if (!out)
			break;
		if (written == 0) {
			write_index(out, &index, src->lines, src->n, title);
		} else {
			size_t len;
			const char *name = name_feed(title, src->old, folder, &len);
			write_feed(out, src->lines, src->n, url, name, len);
		}
		if (!close_draft(fd, out, &drafts[written]))
			break;
	}
	if (written < count) {
		int error = errno;
		for (size_t k = 0; k < written; k++)
			discard_draft(fd, &drafts[k]);
		say(folder, ": cannot write a new %s: %s; %s left as it is", names[written], strerror(error),
		    left_alone(count));
		return 1;
	}
	return install(fd, folder, drafts, count);
}

int main(int argc, char *argv[])
{
	// One option, -u, before the folder, and "--" may end it; any other
	// argument that begins with a dash is a folder, as quenlet takes it.
	const char *url = nullptr;
	int i = 1;
	if (argc > 1 && strncmp(argv[1], "-u", 2) == 0) {
		url = argv[1][2] ? argv[1] + 2 : argv[2];
		i = argv[1][2] ? 2 : 3;
	}
	if (i < argc && strcmp(argv[i], "--") == 0)
		i++;
	if (i >= argc || argc - i > 2) {
		fputs("gemlog-index: usage: gemlog-index [-u URL] DIR [TITLE]\n", stderr);
		return 1;
	}
	const char *folder = argv[i], *title = argv[i + 1];
	if (title && !is_plain(title)) {
		report("gemlog-index: the title holds a line end, a control character or ill-formed UTF-8", "");
		return 1;
	}
	if (url && !is_journal_url(url)) {
		report("gemlog-index: ", url, ": not an absolute URL (scheme://host/path/) in printable ASCII");
		return 1;
	}

	hold_signals();
	DIR *dir = opendir(folder);
	if (!dir) {
		say(folder, ": %s", strerror(errno));
		return 1;
	}
	sources src{};
	int status = publish(dir, folder, url, title, &src);
	free(src.lines);
	free(src.list.s);
	free(src.old.s);
	closedir(dir);
	return status;
}


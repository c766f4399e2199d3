// SPDX-License-Identifier: ISC
// gemlog-index [-n] [-u URL] DIR [TITLE]: publishes the index of the gemlog
// in DIR, as quenlet lists it, newest entry first, as DIR/index.gmi, in
// place of the list of entries of the page there, keeping the author's text
// and layout; with -u, its Atom feed beside it as DIR/atom.xml.
#include "core.h"
#include "feed.h"
#include "page.h"
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

// The file names to publish, the index first.
static const char *const names[] = {INDEX, "atom.xml"};

// The largest old index read: far above any journal's, and far below what a
// sparse file planted there would make a run read and write.
constexpr off_t LARGEST_PAGE = 256 << 20;

static const char USAGE[] = "usage: gemlog-index [-n] [-u URL] [--] DIR [TITLE]\n";

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

// Says on standard error why the walk left out the entry called name of the
// folder, or could not read the folder to its end.
static void say_left_out(const char *name, left_out why, int error, const void *folder)
{
	// By -why; the first two are followed by the system's reason.
	static const char *const reasons[] = {
		nullptr,
		": cannot be opened: ",
		": not a regular file",
		": a link through another link, or to no regular file of the link's owner",
		": not readable by everyone who could have put it there; make it readable by others to list it",
		": cannot be opened without a race here, as where /proc is not mounted",
		": cannot be read: ",
		": its first line is not a heading",
	};
	if (!name)
		return say((const char *)folder, ": cannot be read to its end: %s", strerror(error));
	char what[160];
	bool system = why == CANNOT_OPEN || why == CANNOT_READ;
	snprintf(what, sizeof what, "%s%s; left out", reasons[-why], system ? strerror(error) : "");
	report_in("gemlog-index: ", (const char *)folder, name, what);
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
// false with errno set when that fails or it grows past LARGEST_PAGE.
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
		if (t->len > (size_t)LARGEST_PAGE) {
			errno = EFBIG;
			return false;
		}
	}
	return false;
}

static bool refuse_old(const char *folder, const char *why)
{
	say(folder, "/%s: %s; left as it is", INDEX, why);
	return false;
}

// Reads dir's index.gmi into *old, left empty when there is none or when a
// symbolic link stands there, which is replaced and never followed, and
// what stood there into *was; returns false, having said why, when it is
// anything else than a regular file with one link that all who could have
// put it there could read, no larger than LARGEST_PAGE, or cannot be read.
// It is looked at before it is opened, so that a device or FIFO there is
// not even opened unless swapped in meanwhile, and again on its descriptor.
static bool read_old(int dir, const char *folder, const placers *who, text *old, seen *was)
{
	*old = {nullptr, 0};
	if (!look_at(dir, INDEX, was))
		return refuse_old(folder, strerror(errno));
	struct stat &st = was->st;
	if (!was->exists || S_ISLNK(st.st_mode))
		return true;
	const char *not_own = "not a regular file with one link";
	if (!is_own_file(&st))
		return refuse_old(folder, not_own);
	int fd = openat(dir, INDEX, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd < 0)
		return refuse_old(folder, strerror(errno));
	const char *why = fstat(fd, &st) != 0 ? strerror(errno) : !is_own_file(&st) ? not_own :
			  !may_read(who, &st) ? "not readable by everyone who could have put it there; "
						"make it readable by others (chmod o+r) to publish it" :
			  st.st_size > LARGEST_PAGE ? "larger than 256 MiB" :
			  !read_all(fd, st.st_size, old) ? strerror(errno) : nullptr;
	close(fd);
	return !why || refuse_old(folder, why);
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
// list, sorted newest first in lines, and the old index, split around its
// list in page.
struct sources {
	text list, old;
	char **lines;
	size_t n;
	page index;
};

// Lists folder's entries, newest first, into src, with who as the folder's
// placers; returns false, having said why, when it cannot be read to its
// end, an entry failed for want of resources, or memory runs out.
static bool list_entries(DIR *dir, const char *folder, const placers *who, sources *src)
{
	text &list = src->list;
	FILE *out = open_memstream(&list.s, &list.len);
	if (!out) {
		say(folder, ": %s", strerror(errno));
		return false;
	}
	listing l = {out, false, *who, say_left_out, folder};
	int status = scan(dir, &l);
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

// Splits the old index of src around its list; returns false, having said
// why, when text stands between its entries, memory runs out, or it lists
// entries and the folder has none left, which would lose the list's place.
static bool split_old(sources *src, const char *folder)
{
	size_t bad;
	if (!read_page(src->old, &src->index, &bad)) {
		if (bad == 0)
			say(folder, ": %s", strerror(ENOMEM));
		else
			say(folder, "/%s:%zu: text between entries: move it above or below the list, or make it "
				    "a heading of the year of the entries below it; left as it is", INDEX, bad);
		return false;
	}
	if (has_list(&src->index) && src->n == 0) {
		report("gemlog-index: no entries left in ", folder, "; index.gmi left as it is");
		return false;
	}
	return true;
}

// The feed's title: title, else the new index's first heading, which is the
// old one's, else the folder's name; its length in *len.
static const char *name_feed(const char *title, text old, const char *folder, size_t *len)
{
	const char *name = title ? title : find_title(old, len);
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

// Names the first count files to publish.
static const char *name_files(size_t count)
{
	return count > 1 ? "index.gmi and atom.xml" : INDEX;
}

// Says that the count files to publish are left as they were.
static const char *left_alone(size_t count)
{
	return count > 1 ? "index.gmi and atom.xml left as they are" : "index.gmi left as it is";
}

// Tells why the count drafts may not be renamed into place, or nullptr: a
// signal came, index.gmi is no longer what was read, or atom.xml cannot
// be replaced. Each is asked before any rename, so that nothing changes.
static const char *refuse_install(int dir, size_t count, const seen *was)
{
	if (is_stopped())
		return ": stopped by a signal";
	if (!is_unchanged(dir, INDEX, was))
		return "/index.gmi: changed while the new one was being made; run again to take the change in";
	if (count > 1 && !is_replaceable(dir, names[1]))
		return "/atom.xml: cannot be replaced, for it is neither a file nor a link";
	return nullptr;
}

// Renames the count drafts, all whole, into place, if index.gmi is still
// what was saw, then syncs dir; returns the exit status, having said what
// failed and which files were replaced.
static int install(int dir, const char *folder, draft *drafts, size_t count, const seen *was)
{
	if (const char *why = refuse_install(dir, count, was)) {
		for (size_t i = 0; i < count; i++)
			discard_draft(dir, &drafts[i]);
		say(folder, "%s; %s", why, left_alone(count));
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
		say(folder, ": %s replaced, but the change may not survive a crash: %s", name_files(installed),
		    strerror(errno));
		status = 1;
	}
	return status;
}

// Closes standard output; returns false when that or any write to it failed.
static bool close_output()
{
	bool failed = ferror(stdout);
	return fclose(stdout) == 0 && !failed;
}

// Writes the len bytes of page to standard output, each line shown safely
// on a terminal, as quenlet shows titles, since others wrote parts of it;
// returns the exit status, having said why it failed.
static int print_text(const char *page, size_t len)
{
	bool terminal = isatty(STDOUT_FILENO);
	char *shown = terminal ? (char *)malloc(len + 1) : nullptr;
	if (terminal && !shown) {
		fprintf(stderr, "gemlog-index: %s\n", strerror(ENOMEM));
		return 1;
	}
	if (terminal) {
		size_t kept = 0;
		for (const char *line = page, *end = page + len; line < end;) {
			const char *nl = (const char *)memchr(line, '\n', end - line), *stop = nl ? nl : end;
			bool cr = stop > line && stop[-1] == '\r';
			kept += show_text(shown + kept, line, stop - line - cr);
			if (cr)
				shown[kept++] = '\r';
			if (nl)
				shown[kept++] = '\n';
			line = nl ? nl + 1 : end;
		}
		page = shown;
		len = kept;
	}
	fwrite(page, 1, len, stdout);
	free(shown);
	if (close_output())
		return 0;
	fprintf(stderr, "gemlog-index: cannot write standard output: %s\n", strerror(errno));
	return 1;
}

// Prints the new page of src on standard output; returns the exit status.
static int print_page(const char *folder, const char *title, const sources *src)
{
	text page = {};
	FILE *out = open_memstream(&page.s, &page.len);
	if (out)
		write_page(out, &src->index, src->lines, src->n, title);
	bool written = out && !ferror(out);
	written = out && fclose(out) == 0 && written;
	if (!written)
		say(folder, ": %s", strerror(ENOMEM));
	int status = written ? print_text(page.s, page.len) : 1;
	free(page.s);
	return status;
}

// Publishes src's new page as DIR/index.gmi, and its feed at url, if given,
// as DIR/atom.xml; returns the exit status.
static int write_files(int fd, const char *folder, const char *url, const char *title, const seen *was,
		       const sources *src)
{
	// Each file is written whole and synced before any is renamed.
	draft drafts[2];
	size_t count = url ? 2 : 1, written = 0;
	for (; written < count; written++) {
		FILE *out = open_draft(fd, names[written], &drafts[written]);
		if (!out)
			break;
		if (written == 0) {
			write_page(out, &src->index, src->lines, src->n, title);
		} else {
			size_t len;
			const char *name = name_feed(title, src->old, folder, &len);
			write_feed(out, src->lines, src->n, url, name, len, folder);
		}
		if (!close_draft(fd, out, &drafts[written]))
			break;
	}
	if (written < count) {
		int error = errno;
		for (size_t k = 0; k < written; k++)
			discard_draft(fd, &drafts[k]);
		say(folder, ": cannot write a new %s: %s; %s", names[written], strerror(error),
		    left_alone(count));
		return 1;
	}
	return install(fd, folder, drafts, count, was);
}

// Publishes the index of the journal in dir, called folder, and its feed
// if url is given, from src, which it fills; with dry_run, prints the page
// instead and writes nothing. Returns the exit status.
static int publish(DIR *dir, const char *folder, const char *url, const char *title, bool dry_run, sources *src)
{
	int fd = dirfd(dir);
	placers who = find_placers(fd);
	if (!dry_run)
		remove_stale_drafts(dir, names, 2);
	seen was;
	if (!list_entries(dir, folder, &who, src) || !read_old(fd, folder, &who, &src->old, &was) ||
	    !split_old(src, folder))
		return 1;
	return dry_run ? print_page(folder, title, src) : write_files(fd, folder, url, title, &was, src);
}

// Opens /dev/null on any of the descriptors 0, 1 and 2 that is closed, so
// that no file opened later takes its place and receives what is meant for
// it; returns false when that fails.
static bool open_standard_descriptors()
{
	for (int fd = 0; fd < 3; fd++)
		if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
			return false;
	return true;
}

int main(int argc, char *argv[])
{
	if (!open_standard_descriptors())
		return 1;
	// Options, in any order, before the folder, and "--" may end them; any
	// other argument that begins with a dash is a folder, as quenlet takes
	// it.
	const char *url = nullptr;
	bool dry_run = false;
	int i = 1;
	for (; i < argc && argv[i][0] == '-'; i++) {
		const char *arg = argv[i];
		if (strcmp(arg, "--help") == 0) {
			fputs(USAGE, stdout);
			fputs("Publishes the index of the gemlog in DIR as DIR/index.gmi, newest entry first,\n"
			      "keeping the author's text and layout around it.\n"
			      "  -n      print the page that would be published, and write nothing\n"
			      "  -u URL  also publish DIR/atom.xml, the Atom feed of the journal at URL\n", stdout);
			return close_output() ? 0 : 1;
		} else if (strcmp(arg, "--version") == 0) {
			puts("gemlog-index " QUENLET_VERSION);
			return close_output() ? 0 : 1;
		} else if (strcmp(arg, "-n") == 0) {
			dry_run = true;
		} else if (strncmp(arg, "-u", 2) == 0) {
			url = arg[2] ? arg + 2 : argv[++i];  // none after it leaves no folder
		} else {
			i += strcmp(arg, "--") == 0;
			break;
		}
	}
	if (i >= argc || argc - i > 2) {
		fprintf(stderr, "gemlog-index: %s", USAGE);
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

	// A dry run writes no file, so a signal may end it as it would cat.
	if (!dry_run)
		hold_signals();
	DIR *dir = opendir(folder);
	if (!dir) {
		say(folder, ": %s", strerror(errno));
		return 1;
	}
	sources src{};
	int status = publish(dir, folder, url, title, dry_run, &src);
	free_page(&src.index);
	free(src.lines);
	free(src.list.s);
	free(src.old.s);
	closedir(dir);
	return status;
}

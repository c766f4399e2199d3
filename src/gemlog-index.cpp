// SPDX-License-Identifier: ISC
// gemlog-index [-n] [-u URL] DIR [TITLE]: merges the journal in DIR, as
// quenlet lists it, into the author's page DIR/index.gmi, and with -u
// publishes its Atom feed beside it as DIR/atom.xml; a file that would not
// change is left alone.
#include "core.h"
#include "feed.h"
#include "journal.h"
#include "page.h"
#include "publish.h"
#include "walk.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <stdint.h>

#include <dirent.h>
#include <limits.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

static const char INDEX[] = "index.gmi", FEED[] = "atom.xml";

// The file names to publish.
static const char *const names[] = {INDEX, FEED};

// The largest old index read: far above any journal's, and far below what a
// sparse file planted there would make a run read and write.
constexpr off_t LARGEST_PAGE = 256 << 20;

static const char USAGE[] = "usage: gemlog-index [-nq] [-u URL [--content] [--limit N]] [--] DIR [TITLE]\n";
static const char HELP[] = "Merges the journal in DIR into its page, DIR/index.gmi, newest entry first,\n"
			   "keeping the author's text and layout; a file that would not change is left alone.\n"
			   "  -n, --dry-run    print the page that would be published, and write nothing\n"
			   "  -q, --quiet      say nothing of files left out, only of lines removed and failures\n"
			   "  -u, --url URL    also publish DIR/atom.xml, the Atom feed of the journal at URL,\n"
			   "                   with each entry's first paragraph\n"
			   "      --content    and each entry whole\n"
			   "      --limit N    only the newest N items in the feed\n"
			   "  -h, --help       print this help\n"
			   "      --version    print the version\n"
			   "A DIR or TITLE that begins with a dash is given after -- or as ./-name.\n";

// The options, as getopt_long takes them; --content, --limit and --version
// have no letter.
static const struct option options[] = {
	{"dry-run", no_argument, nullptr, 'n'},
	{"quiet", no_argument, nullptr, 'q'},
	{"url", required_argument, nullptr, 'u'},
	{"content", no_argument, nullptr, 'C'},
	{"limit", required_argument, nullptr, 'L'},
	{"help", no_argument, nullptr, 'h'},
	{"version", no_argument, nullptr, 'V'},
	{nullptr, 0, nullptr, 0},
};

// Writes "gemlog-index: ", folder shown safely, and what printf makes of
// format, as one line on standard error.
static void say(const char *folder, const char *format, ...)
{
	char rest[4096];
	va_list args;
	va_start(args, format);
	vsnprintf(rest, sizeof rest, format, args);
	va_end(args);
	report("gemlog-index: ", folder, rest);
}

static int compare_names(const void *a, const void *b)
{
	return strcmp(*(const char *const *)a, *(const char *const *)b);
}

static int compare_newest_first(const void *a, const void *b)
{
	return strcmp(((const entry *)b)->name, ((const entry *)a)->name);
}

// The notes a run says on standard error, of a kind a line or an entry
// may give: at most MOST_SAID of each kind, then a count; with quiet, only
// the lines the new page leaves out.
enum note_kind { LINE_GONE, HEADING_EMPTIED, OFF_CALENDAR, OFF_FEED, RETITLED, NOTE_KINDS };
struct notes {
	const char *folder;
	bool quiet;
	bool again;  // the folder is read again, its notes said already
	size_t count[NOTE_KINDS];
};
constexpr size_t MOST_SAID = 20;

// Tells whether a note of kind is to be said, counting it.
static bool is_said(notes *n, note_kind kind)
{
	return ++n->count[kind] <= MOST_SAID && !n->again && (!n->quiet || kind <= HEADING_EMPTIED);
}

// Says how many notes of each kind were counted and not said, and counts
// them anew.
static void say_counts(notes *n)
{
	static const char *const more[NOTE_KINDS] = {
		"/index.gmi: %zu more lines of names gone from the folder removed, not named",
		"/index.gmi: %zu more headings that head no line of their own now removed, not named",
		": %zu more entries whose dates are not days of the calendar left out, not named",
		": %zu more entries whose dates are not days of the calendar left out of the feed, not named",
		"/index.gmi: %zu more lines that keep a title other than their entry's heading, not named",
	};
	for (int kind = 0; kind < NOTE_KINDS; kind++)
		if (n->count[kind] > MOST_SAID && !n->again && (!n->quiet || kind <= HEADING_EMPTIED))
			say(n->folder, more[kind], n->count[kind] - MOST_SAID);
	memset(n->count, 0, sizeof n->count);
}

// What a run reads, which main frees: the entries of the folder, newest
// first, the old index, and the page made of them; and the notes it says.
struct sources {
	journal j;
	entry *entries;
	const char **names;  // the folder's other names, sorted
	text old;
	page index;
	notes said;
};

// Why a file that the folder's group may read is not read, where this
// build cannot know every member of the group.
#define UNKNOWN_MEMBERS "not readable by everyone who could have put it there, as this build knows them: the name " \
			"service may add members to the folder's group that it cannot list; make it readable by others " \
			"(chmod o+r), or use a build linked against the system's C library,"

// Says on standard error why each entry of src left out is, and, with p,
// that the page's line for it is kept; and which are listed with an empty
// heading.
static void say_left_out(const sources *src, const page *p, const notes *n, const placers *who)
{
	if (n->quiet || n->again)
		return;
	const char *folder = n->folder;
	// By -why; the first two are followed by the system's reason.
	static const char *const reasons[] = {
		nullptr,
		": cannot be opened: ",
		": not a regular file",
		": a link through another link, or to no regular file of the link's owner that they may read",
		": not readable by everyone who could have put it there; make it readable by them to list it",
		": cannot be opened without a race here, as where /proc is not mounted",
		": cannot be read: ",
		": its first line is not a heading",
	};
	for (size_t i = 0; i < src->j.n; i++) {
		const entry *e = &src->entries[i];
		if (e->head && length(read_heading(e)) == 0)
			report_in("gemlog-index: ", folder, e->name, ": its heading is empty; listed without a title");
		if (e->head)
			continue;
		char what[400];
		bool system = e->why == CANNOT_OPEN || e->why == CANNOT_READ;
		char text[64];
		snprintf(text, sizeof text, e->stop ? ": line %zu is text before any heading" : ": no heading follows its links", e->stop);
		snprintf(what, sizeof what, "%s%s; %s", e->why == NOT_SHARED && who->guessed ? ": " UNKNOWN_MEMBERS " to list it" :
			 e->why == NO_HEADING && e->stop != 1 ? text : reasons[-e->why], system ? strerror(e->error) : "",
			 p && p->linked[i] ? "its line in index.gmi is kept as it is" : "left out");
		report_in("gemlog-index: ", folder, e->name, what);
	}
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

// Reads dir's index.gmi into *old, left empty when there is none or when a
// symbolic link stands there, which is replaced and never followed, and
// what stood there into *was; returns why not, or nullptr: it is anything
// else than a regular file that all who could have put it there could
// read, however many links it has, no larger than LARGEST_PAGE, or cannot
// be read. It is looked at before it is opened, so that a device or FIFO
// there is not even opened unless swapped in meanwhile, and again on its
// descriptor.
static const char *read_old(int dir, const placers *who, text *old, seen *was)
{
	*old = {nullptr, 0};
	if (!look_at(dir, INDEX, was))
		return strerror(errno);
	struct stat &st = was->st;
	if (!was->exists || S_ISLNK(st.st_mode))
		return nullptr;
	const char *not_file = "not a regular file";
	if (!S_ISREG(st.st_mode))
		return not_file;
	int fd = openat(dir, INDEX, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd < 0)
		return strerror(errno);
	const char *why = fstat(fd, &st) != 0 ? strerror(errno) : !S_ISREG(st.st_mode) ? not_file :
			  !may_read(who, &st, fd) ? who->guessed ? UNKNOWN_MEMBERS " to publish it" :
						    "not readable by everyone who could have put it there; "
						    "make it readable by them (chmod g+r or o+r) to publish it" :
			  st.st_size > LARGEST_PAGE ? "larger than 256 MiB" :
			  !read_all(fd, st.st_size, old) ? strerror(errno) : nullptr;
	close(fd);
	return why;
}

// Tells whether title may stand in a heading: no line end, no control
// character, nothing that reorders the line, well-formed UTF-8.
static bool is_plain(const char *title)
{
	size_t len = strlen(title);
	char shown[len + 1];
	return show_text(shown, title, len) == len && memcmp(shown, title, len) == 0;
}

// Lists folder's entries, newest first, into src, with who as the folder's
// placers; returns false, having said why, when it cannot be read to its
// end, an entry failed for want of resources, or memory runs out.
static bool list_entries(DIR *dir, const char *folder, const placers *who, sources *src)
{
	journal &j = src->j;
	// Entries are read whole, up to the most the feed holds, or their
	// first 16 KiB, for a summary and for a title after links back and
	// banners.
	static char body[CONTENT_SIZE + 1];
	listing l = {*who, keep_entry, &j, keep_name, body, j.contents ? sizeof body : 16 << 10};
	int status = scan(dir, &l);
	if (!hand_out(&j, &src->entries, &src->names)) {
		say(folder, ": %s", strerror(ENOMEM));
		return false;
	}
	if (status != 0) {
		say_left_out(src, nullptr, &src->said, who);
		if (j.unread)
			say(folder, ": cannot be read to its end: %s", strerror(j.unread));
		say(folder, ": cannot be indexed; %s left as it is", INDEX);
		return false;
	}
	qsort(src->entries, j.n, sizeof *src->entries, compare_newest_first);
	qsort(src->names, j.n_names, sizeof *src->names, compare_names);
	return true;
}

// The most bytes of a page's text that a note shows.
constexpr size_t MOST_SHOWN = 256;

// Writes text to shown, of MOST_SHOWN + 4 bytes, shown safely, with at most
// MOST_SHOWN bytes of it and an ellipsis where it is longer, and a NUL.
static const char *show_span(span text, char *shown)
{
	size_t len = length(text) < MOST_SHOWN ? length(text) : MOST_SHOWN;
	// A character cut short at the bound shows as "?", as ill-formed.
	bool cut = len < length(text);
	len = show_text(shown, text.s, len);
	if (cut)
		len += snprintf(shown + len, 4, "\u2026");
	shown[len] = '\0';
	return shown;
}

// Says on standard error, for the notes at context, the line r that the
// new page leaves out, or counts it when enough of its kind were said.
static void say_removal(const removal *r, void *context)
{
	notes *n = (notes *)context;
	char shown[MOST_SHOWN + 4];
	if (is_said(n, r->heading ? HEADING_EMPTIED : LINE_GONE))
		say(n->folder, r->heading ? "/%s:%zu: the heading \"%s\" heads no line of its own now; removed" :
					     "/%s:%zu: %s is gone from the folder; its line removed",
		    INDEX, r->number, show_span(r->what, shown));
}

// Says on standard error, for the run whose sources are at context, that
// the entry line r keeps a title that is not its entry's heading.
static void say_retitled(const retitled *r, void *context)
{
	sources *src = (sources *)context;
	char old[MOST_SHOWN + 4], now[MOST_SHOWN + 4], name[MOST_SHOWN + 4];
	const entry *e = &src->entries[r->entry];
	if (is_said(&src->said, RETITLED))
		say(src->said.folder, "/%s:%zu: %s is titled \"%s\" now; its line keeps \"%s\" (delete the line to have it "
				      "written anew)", INDEX, r->number, show_span({e->name, e->name + strlen(e->name)}, name),
		    show_span(read_heading(e), now), show_span(r->title, old));
}

// Says that the page of src, which has no list, links posts among which
// the list's place cannot be told, with the newest entry's line to put
// there; returns false when memory runs out.
static bool say_where(const char *folder, const sources *src)
{
	size_t newest = 0;
	while (!src->entries[newest].head)
		newest++;
	text line = {};
	FILE *out = open_memstream(&line.s, &line.len);
	if (out)
		write_new_line(out, &src->index, newest);
	char *shown = out && fclose(out) == 0 ? (char *)malloc(line.len + 1) : nullptr;
	if (shown) {
		shown[show_text(shown, line.s, line.len)] = '\0';
		// A date the labels show in a form that is not read is why they
		// are not a list.
		span date = src->index.post_date;
		char form[128] = "";
		if (date.s)
			snprintf(form, sizeof form, ", whose dates, as %.*s, are in a form that cannot be read (which is the month?)",
				 length(date) < 15 ? (int)length(date) : 15, date.s);
		say(folder, "/%s:%zu: cannot tell where the list goes among the page's own links%s; left as it is. Put the "
			    "newest entry's line where the list starts, and run again: %s", INDEX, src->index.post_link, form, shown);
	}
	free(shown);
	free(line.s);
	return shown != nullptr;
}

// Reads the old index of src, with url, into its page, merges the journal
// into it, and says which entries are left out and which lines removed;
// returns false, having said why, when it cannot be read or memory runs
// out, when it has no list yet and the folder has no entries, as a folder
// mistyped would not, when it has no list and links posts among which the
// list's place cannot be told, or when it lists entries and the folder has
// none left, which would lose the list's place.
static bool read_index(int dir, const char *folder, const placers *who, const char *url, seen *was, sources *src)
{
	page &p = src->index;
	const char *why = read_old(dir, who, &src->old, was);
	if (why) {
		say_left_out(src, nullptr, &src->said, who);
		say(folder, "/%s: %s; left as it is", INDEX, why);
		return false;
	}
	if (!read_page(src->old, src->entries, src->j.n, src->names, src->j.n_names, url, url, &p)) {
		say(folder, ": %s", strerror(ENOMEM));
		return false;
	}
	say_left_out(src, &p, &src->said, who);
	size_t entries = 0;
	while (entries < src->j.n && !src->entries[entries].head)
		entries++;
	if (p.listed == 0 && entries == src->j.n) {
		say(folder, " holds no entries (files named YYYY-MM-DD\u2026.gmi whose first line is a heading); nothing written");
		return false;
	}
	if (p.listed == 0 && p.post_link) {
		if (!say_where(folder, src))
			say(folder, ": %s", strerror(ENOMEM));
		return false;
	}
	if (!merge_entries(&p)) {
		say(folder, ": %s", strerror(ENOMEM));
		return false;
	}
	if (loses_list(&p)) {
		report("gemlog-index: no entries left in ", folder, "; index.gmi left as it is");
		return false;
	}
	for (size_t i = 0; i < src->j.n; i++)
		if (src->entries[i].head && !p.linked[i] && !may_write_date(&p, p.entry_dates[i]) && is_said(&src->said, OFF_CALENDAR))
			report_in("gemlog-index: ", folder, src->entries[i].name, ": its date is not a day of the calendar, which "
				  "index.gmi cannot show as it writes dates; left out");
	list_removals(&p, say_removal, &src->said);
	list_retitled(&p, say_retitled, src);
	say_counts(&src->said);
	return true;
}

// The feed's title: title, else the new index's first heading, which is the
// old one's, else the folder's name, its full path in path, of PATH_MAX
// bytes; its length in *len.
static const char *name_feed(const char *title, text old, const char *folder, size_t *len, char *path)
{
	const char *name = title ? title : find_title(old, len);
	if (title)
		*len = strlen(title);
	if (name)
		return name;
	// As its full path ends, so that "." is called by its own name.
	if (realpath(folder, path))
		folder = path;
	size_t end = strlen(folder);
	while (end > 1 && folder[end - 1] == '/')
		end--;
	name = folder + end;
	while (name > folder && name[-1] != '/')
		name--;
	*len = folder + end - name;
	return name;
}

// What a run publishes: the page with its title, and with a URL the feed,
// dated by its newest item and named.
struct publication {
	const char *title, *feed_title;
	size_t feed_len;
	const item *newest;
	size_t limit;
	char path[PATH_MAX];  // the folder's, when it names the feed
	// What stood at index.gmi when it was read, at atom.xml when its draft
	// was made, and the lock held meanwhile.
	const seen *was;
	seen feed;
	int lock;
};

// Names the count files of drafts, in the order that the reader knows.
static const char *name_files(const draft *drafts, size_t count)
{
	return count > 1 ? "index.gmi and atom.xml" : drafts[0].name;
}

// Says that the count files of drafts are left as they were.
static const char *left_alone(const draft *drafts, size_t count)
{
	return count > 1 ? "index.gmi and atom.xml left as they are" : drafts[0].name == INDEX ? "index.gmi left as it is" :
	       "atom.xml left as it is";
}

// Tells why the drafts may not be renamed into place, or nullptr: a
// signal came, the lock is no longer the run's, index.gmi is no longer
// what was read, or atom.xml what was seen when its draft was made, or
// cannot be replaced. Each is asked before any rename, so that nothing
// changes.
static const char *refuse_install(int dir, const draft *drafts, const publication *pub)
{
	if (is_stopped())
		return ": stopped by a signal";
	// Another run may have taken a lock of its own since.
	if (!holds_lock(dir, pub->lock))
		return "/.gemlog-index.lock: removed or replaced during the run, and another run may publish too; run again";
	if (!is_unchanged(dir, INDEX, pub->was))
		return "/index.gmi: changed while the new one was being made; run again to take the change in";
	if (drafts[0].name == FEED && !is_replaceable(dir, FEED))
		return "/atom.xml: cannot be replaced, for it is neither a file nor a link";
	// The new feed took the owner, mode and ACL of what stood there.
	if (drafts[0].name == FEED && !is_unchanged(dir, FEED, &pub->feed))
		return "/atom.xml: changed while the new one was being made; run again";
	return nullptr;
}

// Renames the count drafts, all whole, into place, the feed first, if
// index.gmi is still what was saw, then syncs dir; returns the exit
// status, having said what failed and which files were replaced. The old
// files are kept aside until the page is known to be the one read, so that
// both are put back when it is not, or a rename fails.
static int install(int dir, const char *folder, draft *drafts, size_t count, const publication *pub, text old)
{
	const seen *was = pub->was;
	if (const char *why = refuse_install(dir, drafts, pub)) {
		for (size_t i = 0; i < count; i++)
			discard_draft(dir, &drafts[i]);
		say(folder, "%s; %s", why, left_alone(drafts, count));
		return 1;
	}
	size_t installed = 0;
	int status = 0;
	for (; installed < count; installed++) {
		const char *name = drafts[installed].name;
		if (!install_draft(dir, &drafts[installed], true)) {
			int error = errno;
			for (size_t i = installed; i < count; i++)
				discard_draft(dir, &drafts[i]);
			bool back = installed == 0 || restore_draft(dir, &drafts[0]);
			say(folder, "/%s: cannot be replaced: %s; %s", name, strerror(error),
			    back ? left_alone(drafts, count) : "atom.xml was replaced");
			status = 1;
			break;
		}
		if (!holds_draft(dir, &drafts[installed])) {
			say(folder, "/%s: replaced, but another file has taken its place since", name);
			status = 1;
		}
	}
	// An edit saved after the last look, before the rename, is in the page
	// replaced: it is put back, never lost, and the old feed with it.
	draft *page = &drafts[count - 1], *feed = count > 1 || page->name == FEED ? &drafts[0] : nullptr;
	if (installed == count && page->name == INDEX && !settle_draft(dir, page, was, old.s, old.len)) {
		bool back = !feed || restore_draft(dir, feed);
		say(folder, "/index.gmi was edited during the run; %s; run again",
		    !feed ? "index.gmi left as it was" : back ? "index.gmi and atom.xml left as they were" :
		    "index.gmi left as it was, but atom.xml was replaced");
		status = 1;
	} else if (feed) {
		drop_kept(dir, feed);
	}
	if (installed > 0 && fsync(dir) != 0) {
		if (status == 0)
			say(folder, ": %s replaced, but the change may not survive a crash: %s", name_files(drafts, installed),
			    strerror(errno));
		else
			say(folder, ": the change to it may not survive a crash: %s", strerror(errno));
		status = 1;
	}
	return status;
}

// Closes standard output; returns the exit status, having said why when
// that or any write to it failed.
static int close_output()
{
	bool failed = ferror(stdout);
	if (fclose(stdout) == 0 && !failed)
		return 0;
	fprintf(stderr, "gemlog-index: cannot write standard output: %s\n", strerror(errno));
	return 1;
}

// Writes the len bytes of page to standard output, a terminal, each line
// shown safely, as quenlet shows titles, since others wrote parts of it;
// returns false when memory runs out.
static bool show_lines(const char *page, size_t len)
{
	char *shown = (char *)malloc(len + 1);
	if (!shown)
		return false;
	size_t kept = 0;
	for (const char *line = page, *end = page + len; line < end;) {
		const char *nl = (const char *)memchr(line, '\n', end - line), *stop = nl ? nl : end;
		bool cr = nl && stop > line && stop[-1] == '\r';
		kept += show_text(shown + kept, line, stop - line - cr);
		if (cr)
			shown[kept++] = '\r';
		if (nl)
			shown[kept++] = '\n';
		line = nl ? nl + 1 : end;
	}
	fwrite(shown, 1, kept, stdout);
	free(shown);
	return true;
}

// Prints the new page of src on standard output: straight, or on a
// terminal through memory, to show it safely; returns the exit status.
static int print_page(const char *folder, const char *title, sources *src)
{
	bool terminal = isatty(STDOUT_FILENO);
	text page = {};
	FILE *out = terminal ? open_memstream(&page.s, &page.len) : stdout;
	bool made = out != nullptr;
	if (out)
		write_page(out, &src->index, title);
	if (terminal) {
		made = made && fclose(out) == 0 && show_lines(page.s, page.len);
		free(page.s);
	}
	if (!made) {
		say(folder, ": %s", strerror(ENOMEM));
		return 1;
	}
	return close_output();
}


// Writes to out the file called name of src as pub says: the page or the
// feed.
static void write_file(FILE *out, const char *name, const sources *src, const publication *pub)
{
	if (name == INDEX)
		write_page(out, &src->index, pub->title);
	else
		write_feed(out, &src->index, pub->newest, pub->limit, pub->feed_title, pub->feed_len);
}

// Tells whether the file called name in dir would be left as it is: what
// write_file makes of it is its bytes, the old page's for index.gmi; false
// for a file that cannot be compared. Says in *large whether what it makes
// would be larger than LARGEST_PAGE.
static bool is_left_alone(int dir, const char *name, const sources *src, const publication *pub, bool *large)
{
	comparison c = {src->old.s, -1, (off_t)src->old.len, 0, false, LARGEST_PAGE};
	struct stat st;
	if (name == FEED) {
		// Only a regular file is opened, since opening a device can act.
		c.text = nullptr;
		c.size = -1;
		if (fstatat(dir, FEED, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
			c.fd = openat(dir, FEED, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
		if (c.fd >= 0 && fstat(c.fd, &st) == 0 && S_ISREG(st.st_mode))
			c.size = st.st_size;
	}
	FILE *out = open_comparison(&c);
	if (out)
		write_file(out, name, src, pub);
	bool same = out && is_same(out, &c) && c.size >= 0;
	*large = c.at > LARGEST_PAGE;
	if (c.fd >= 0)
		close(c.fd);
	return same;
}

// Says, for the run whose sources are at context, that the entry i is left
// out of the feed, its date being no day of the calendar.
static void say_off_feed(uint32_t i, void *context)
{
	sources *src = (sources *)context;
	if (is_said(&src->said, OFF_FEED))
		report_in("gemlog-index: ", src->said.folder, src->entries[i].name, ": not a calendar date; left out of the feed");
}

// Plans what a run publishes from src in *pub: the page, and with url the
// feed; tells in same which of the two files would be left as they are.
// Returns false, having said why, when the feed has no item to be dated by
// or a file would be larger than LARGEST_PAGE.
static bool plan_files(int fd, const char *folder, const char *url, const char *title, sources *src, publication *pub,
		       bool same[2])
{
	*pub = {title, nullptr, 0, nullptr, src->j.limit ? src->j.limit : SIZE_MAX, {}, nullptr, {}, NO_LOCK};
	bool large[2] = {false, false};
	same[0] = is_left_alone(fd, INDEX, src, pub, &large[0]);
	same[1] = true;
	if (url) {
		pub->newest = date_feed(&src->index, say_off_feed, src);
		say_counts(&src->said);
		if (!pub->newest) {
			say(folder, ": no entry or dated line has a date of the calendar to date atom.xml by; "
				    "index.gmi and atom.xml left as they are");
			return false;
		}
		pub->feed_title = name_feed(title, src->old, folder, &pub->feed_len, pub->path);
		same[1] = is_left_alone(fd, FEED, src, pub, &large[1]);
	}
	// Whatever the page, what is written is bounded, and a page written
	// can be read again.
	if (large[0] || large[1]) {
		say(folder, "/%s: the new one would be larger than 256 MiB; index.gmi%s%s", large[0] ? INDEX : FEED,
		    url ? " and atom.xml left as they are" : " left as it is",
		    large[0] ? "" : "; --limit N keeps only the newest N items in it");
		return false;
	}
	return true;
}

// Publishes src's new page as DIR/index.gmi, and its feed, as pub plans
// them, as DIR/atom.xml, each unless same says it would be left as it is;
// returns the exit status.
static int write_files(int fd, const char *folder, sources *src, publication *pub, const bool same[2])
{
	// Each file is written whole and synced before any is renamed, the feed
	// first. Each keeps the owner and mode of the file it replaces, a new
	// one or one in place of a link the folder's.
	struct stat like[2];
	seen &feed = pub->feed;
	if (fstat(fd, &like[0]) != 0 || !look_at(fd, FEED, &feed)) {
		say(folder, ": %s; index.gmi and atom.xml left as they are", strerror(errno));
		return 1;
	}
	like[1] = like[0];
	if (pub->was->exists && S_ISREG(pub->was->st.st_mode))
		like[0] = pub->was->st;
	if (feed.exists && S_ISREG(feed.st.st_mode))
		like[1] = feed.st;
	draft drafts[2];
	const struct stat *likes[2];
	size_t count = 0, written = 0;
	for (int i = 1; i >= 0; i--)
		if (!same[i]) {
			likes[count] = &like[i];
			drafts[count++].name = names[i];
		}
	for (; written < count; written++) {
		FILE *out = open_draft(fd, drafts[written].name, likes[written], &drafts[written]);
		if (!out)
			break;
		write_file(out, drafts[written].name, src, pub);
		if (!close_draft(fd, out, &drafts[written]))
			break;
	}
	if (written < count) {
		int error = errno;
		for (size_t k = 0; k < written; k++)
			discard_draft(fd, &drafts[k]);
		say(folder, ": cannot write a new %s: %s; %s", drafts[written].name, strerror(error),
		    left_alone(drafts, count));
		return 1;
	}
	return count ? install(fd, folder, drafts, count, pub, src->old) : 0;
}

// Frees what a reading of the folder put in src, so that it may be read
// again: all but the options and the notes.
static void free_sources(sources *src)
{
	free_page(&src->index);
	free(src->entries);
	free(src->names);
	free(src->old.s);
	const journal &j = src->j;
	journal options = {};
	options.summaries = j.summaries;
	options.contents = j.contents;
	options.limit = j.limit;
	free_journal(&src->j);
	*src = {options, nullptr, nullptr, {}, {}, src->said};
}

// Takes the lock of the folder fd, called folder, waiting for another
// run's; returns it, or -1 having said why not.
static int take_lock(int fd, const char *folder)
{
	const char *why = nullptr;
	int lock = lock_folder(fd, 500, &why);
	if (lock == -1 && !why && errno == EWOULDBLOCK && !is_stopped()) {
		say(folder, ": another run is publishing it; waiting for it, at most 30 seconds");
		lock = lock_folder(fd, 29500, &why);
	}
	if (lock != -1)
		return lock;
	if (why)
		say(folder, "/.gemlog-index.lock: %s; remove it to publish; nothing written", why);
	else if (is_stopped() || errno == EWOULDBLOCK)
		say(folder, ": %s; nothing written", is_stopped() ? "stopped by a signal" : "another run has held it for 30 seconds");
	else
		say(folder, ": cannot take the lock that runs take turns under: %s; nothing written", strerror(errno));
	return -1;
}

// Reads the folder dir, called folder, into src again, under lock, its
// stale drafts removed, and publishes what has changed; returns the exit
// status.
static int publish_locked(DIR *dir, const char *folder, const char *url, const char *title, const placers *who, int lock,
			  sources *src)
{
	int fd = dirfd(dir);
	seen was;
	publication pub;
	bool same[2];
	remove_stale_drafts(dir, names, 2);
	if (!list_entries(dir, folder, who, src) || !read_index(fd, folder, who, url, &was, src) ||
	    !plan_files(fd, folder, url, title, src, &pub, same))
		return 1;
	pub.was = &was;
	pub.lock = lock;
	return write_files(fd, folder, src, &pub, same);
}

// Publishes the journal in dir, called folder, and its feed if url is
// given, from src, which it fills; with dry_run, prints the page instead
// and writes nothing. Returns the exit status.
static int publish(DIR *dir, const char *folder, const char *url, const char *title, bool dry_run, sources *src)
{
	int fd = dirfd(dir);
	placers who = find_placers(fd);
	seen was;
	publication pub;
	bool same[2] = {true, true};
	// A run with nothing new writes nothing and takes no lock: it reads and
	// compares first. One with something to write takes the lock and reads
	// the folder again under it, since another run may have changed it.
	int status = !list_entries(dir, folder, &who, src) || !read_index(fd, folder, &who, url, &was, src) ? 1 :
		     dry_run ? print_page(folder, title, src) : !plan_files(fd, folder, url, title, src, &pub, same);
	if (status == 0 && !dry_run && !(same[0] && same[1])) {
		src->said.again = true;
		free_sources(src);
		rewinddir(dir);
		int lock = take_lock(fd, folder);
		status = lock == -1 ? 1 : publish_locked(dir, folder, url, title, &who, lock, src);
		if (lock != -1 && !unlock_folder(fd, lock)) {
			say(folder, "/.gemlog-index.lock: removed or replaced during the run; another run may have published meanwhile");
			status = 1;
		}
	}
	free_placers(&who);
	return status;
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

// Writes text to standard output; returns the exit status, having said
// why it failed.
static int print(const char *text)
{
	fputs(text, stdout);
	return close_output();
}

static const char LIMIT_NEEDS[] = ": needs a whole number from 1";

// Says what is wrong with the command line, and the usage, on standard
// error; returns the exit status.
static int refuse_usage(const char *what)
{
	fprintf(stderr, "gemlog-index: %s\n%s", what, USAGE);
	return 1;
}

// Says that the option typed, up to any "=", is refused and why, and the
// usage; returns the exit status.
static int refuse_option(const char *typed, const char *why)
{
	char option[64];
	snprintf(option, sizeof option, "%.*s", (int)strcspn(typed, "="), typed);
	report("gemlog-index: ", option, why);
	fputs(USAGE, stderr);
	return 1;
}

// Finds the option that getopt_long refused with code, as it was typed,
// writing a short one to letter; last is the command line's last argument
// before getopt_long permuted it. Only the last argument can lack its
// value; a refused long option has been stepped past, and stands just
// before optind; a refused letter is optopt, which names a long option (by
// its value) only when the long one was given a value.
static const char *find_refused(char *argv[], const char *last, int code, char letter[3])
{
	if (code != ':')
		last = argv[optind - 1];
	if (!optopt || strncmp(last, "--", 2) == 0) {
		for (const struct option *o = options; o->name && optopt; o++) {
			if (o->val == optopt && (code == ':' || strchr(last, '=')) &&
			    strncmp(last + 2, o->name, strcspn(last + 2, "=")) == 0)
				return last;
		}
		if (!optopt)
			return last;
	}
	letter[0] = '-';
	letter[1] = (char)optopt;
	letter[2] = '\0';
	return letter;
}

// Reads s, a whole number from 1, as --limit takes it; returns 0 for
// anything else, *large set for a number past the largest count.
static size_t read_count(const char *s, bool *large)
{
	size_t n = 0;
	*large = false;
	for (const char *c = s; *c; c++) {
		if (*c < '0' || *c > '9')
			return 0;
		*large = *large || n > (SIZE_MAX - (*c - '0')) / 10;
		n = n * 10 + (*c - '0');
	}
	return *large ? 0 : n;
}

// Tells whether title holds nothing but blanks.
static bool is_empty(const char *title)
{
	return title[strspn(title, " \t")] == '\0';
}

int main(int argc, char *argv[])
{
	if (!open_standard_descriptors())
		return 1;
	// Options may come after DIR and TITLE too, as GNU's tools take them.
	// The C libraries' own messages differ, and musl's name no option that
	// lacks its argument, so the messages are these.
	const char *url = nullptr;
	bool dry_run = false;
	sources src{};
	journal &j = src.j;
	opterr = 0;
	// musl's getopt_long, short of an option's value, permutes argv's end
	// past the last argument.
	const char *last = argv[argc - 1];
	for (int c; (c = getopt_long(argc, argv, ":nqu:h", options, nullptr)) != -1;) {
		char letter[3];
		bool large;
		switch (c) {
		case 'n':
			dry_run = true;
			break;
		case 'q':
			src.said.quiet = true;
			break;
		case 'u':
			url = optarg;
			break;
		case 'C':
			j.contents = true;
			break;
		case 'L':
			j.limit = read_count(optarg, &large);
			if (!j.limit)
				return refuse_option(argv[optind - 1 - (optarg == argv[optind - 1])], large ? ": too large" : LIMIT_NEEDS);
			break;
		case 'h':
			fputs(USAGE, stdout);
			return print(HELP);
		case 'V':
			return print("gemlog-index " QUENLET_VERSION "\n");
		case ':':
			return refuse_option(find_refused(argv, last, c, letter),
					     optopt == 'L' ? LIMIT_NEEDS : ": needs a URL");
		default:
			const char *typed = find_refused(argv, last, c, letter);
			return refuse_option(typed, typed == letter ? ": unknown option" :
						    optopt ? ": takes no value" : ": unknown option");
		}
	}
	if (optind == argc || argc - optind > 2)
		return refuse_usage(optind == argc ? "no DIR given" : "more than DIR and TITLE given");
	const char *folder = argv[optind], *title = argv[optind + 1];
	if (title && is_empty(title))
		return refuse_usage("TITLE is empty");
	if (title && !is_plain(title)) {
		report("gemlog-index: the title holds a line end, a control character or ill-formed UTF-8", "");
		return 1;
	}
	if ((j.contents || j.limit) && !url)
		return refuse_usage("--content and --limit shape the feed, which only -u publishes");
	if (url && strpbrk(url, "?#"))
		return refuse_usage("-u: the journal's URL holds no query (?) and no fragment (#)");
	if (url && !is_journal_url(url)) {
		report("gemlog-index: -u: ", url, ": not an absolute URL (scheme://host/path/) in printable ASCII");
		fputs(USAGE, stderr);
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
	j.summaries = url != nullptr;
	src.said.folder = folder;
	int status = publish(dir, folder, url, title, dry_run, &src);
	free_page(&src.index);
	free(src.entries);
	free(src.names);
	free_journal(&j);
	free(src.old.s);
	closedir(dir);
	return status;
}

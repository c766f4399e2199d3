// SPDX-License-Identifier: ISC
// The page: the author's index.gmi, into which the journal is merged. Each
// of its lines is one of four kinds:
//  1. an entry line: a link to an entry's name, alone, after "./", or after
//     the page's entry prefix (a root path or an absolute URL, ended by "/",
//     that its first link to a name standing in the folder uses) or -u's URL
//     or path;
//  2. a dated line: any other link whose label starts with YYYY-MM-DD;
//  3. a year heading: a heading, not the page's first line, holding a
//     four-digit year, whose next entry or dated line below is of that year;
//  4. the author's text.
// The new page is the old one's lines, byte for byte and in place, but for
// the entry lines of names gone from the folder and the year headings left
// with no line of their year, which go with the blank lines that went with
// them; and for lines in quenlet's own format, which follow the heading.
// Each entry that no entry line links gets one, in the way of the first
// list line, right above the first list line dated earlier, under its
// year's heading where the page has them, or after the last one.
#include "page.h"

#include "core.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

// What a page marks, in a mark's top four bits: the list lines, and the
// headings that hold a year.
enum kind : uint32_t {
	ENTRY_LINE = 1,  // links an entry of the folder; kept as it is
	OWN_LINE,        // links an entry that has a heading, as quenlet writes it; follows the heading
	GONE_LINE,       // links a name that no longer stands in the folder; removed
	DATED_LINE,      // links anything else with a date first in its label
	YEAR_HEADING,
	MAYBE_HEADING,   // holds a year, until the next list line tells
};
constexpr int KIND_SHIFT = 28;  // the old page is at most 256 MiB
constexpr size_t NONE = (size_t)-1;

// Room for an entry's name decoded from a link; a longer one stands in no
// folder.
constexpr size_t NAME_ROOM = 1024;

static kind kind_of(uint32_t mark)
{
	return (kind)(mark >> KIND_SHIFT);
}

static bool is_list(kind k)
{
	return k >= ENTRY_LINE && k <= DATED_LINE;
}

static bool is_kept(kind k)
{
	return is_list(k) && k != GONE_LINE;
}

static const char *skip_blanks(const char *s, const char *end)
{
	while (s < end && is_blank(*s))
		s++;
	return s;
}

// Where the line after the one at line starts, or end.
static const char *next_line(const char *line, const char *end)
{
	const char *line_end = (const char *)memchr(line, '\n', end - line);
	return line_end ? line_end + 1 : end;
}

// The line [s, e) without its line end, LF or CR LF.
static const char *strip_line_end(const char *s, const char *e)
{
	if (e > s && e[-1] == '\n')
		e--;
	return e > s && e[-1] == '\r' ? e - 1 : e;
}

// Tells whether the line [s, e) holds nothing but blanks and its end.
static bool is_blank_line(const char *s, const char *e)
{
	return skip_blanks(s, e) == strip_line_end(s, e);
}

// Tells whether the line [s, e) is a level-1 heading: "#" not followed
// by "#".
static bool is_level_1(const char *s, const char *e)
{
	return s < e && s[0] == '#' && (e - s == 1 || s[1] != '#');
}

static size_t length(span s)
{
	return s.e - s.s;
}

static bool is_same(span a, const char *s, size_t len)
{
	return length(a) == len && memcmp(a.s, s, len) == 0;
}

// The first run of exactly four digits in the heading line [s, e), or
// nullptr.
static const char *find_year(const char *s, const char *e)
{
	if (s == e || *s != '#')
		return nullptr;
	for (const char *c = s; c < e;) {
		const char *run = c;
		while (c < e && isdigit((unsigned char)*c))
			c++;
		if (c - run == 4)
			return run;
		c += c == run;
	}
	return nullptr;
}

// The year of the four digits at s.
static int read_year(const char *s)
{
	return (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 + (s[3] - '0');
}

// A link line's target and label: "=>", blanks, the target, blanks, then the
// label to the line's end.
struct link_line {
	span target, label;
};

// Reads the line [s, e), without its line end, as a link line into *l;
// returns false when it is none.
static bool read_link(const char *s, const char *e, link_line *l)
{
	if (e - s < 2 || s[0] != '=' || s[1] != '>')
		return false;
	const char *target = skip_blanks(s + 2, e), *c = target;
	while (c < e && !is_blank(*c))
		c++;
	*l = {{target, c}, {skip_blanks(c, e), e}};
	return c > target;
}

// Where the name in a link's target starts: after its last "/".
static const char *find_name(span target)
{
	const char *c = target.e;
	while (c > target.s && c[-1] != '/')
		c--;
	return c;
}

static int read_hex(char c)
{
	return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Decodes the percent-escapes of [s, e) into name, of NAME_ROOM bytes, and
// ends it with a NUL; returns false when it does not fit, or would hold a
// NUL or "/", which no name in a folder holds.
static bool decode_name(const char *s, const char *e, char *name)
{
	size_t len = 0;
	if (!memchr(s, '%', e - s) && (size_t)(e - s) < NAME_ROOM && !memchr(s, '\0', e - s)) {
		memcpy(name, s, e - s);
		name[e - s] = '\0';
		return true;
	}
	for (; s < e; s++) {
		char c = *s;
		if (c == '%' && e - s >= 3 && read_hex(s[1]) >= 0 && read_hex(s[2]) >= 0) {
			c = (char)(read_hex(s[1]) << 4 | read_hex(s[2]));
			s += 2;
		}
		if (c == '\0' || c == '/' || len == NAME_ROOM - 1)
			return false;
		name[len++] = c;
	}
	name[len] = '\0';
	return true;
}

// The index of the entry called name among p's, newest first, or
// p->n_entries.
static size_t find_entry(const page *p, const char *name)
{
	size_t lo = 0, hi = p->n_entries;
	while (lo < hi) {
		size_t mid = lo + (hi - lo) / 2;
		int c = strcmp(p->entries[mid].name, name);
		if (c == 0)
			return mid;
		if (c > 0)
			lo = mid + 1;
		else
			hi = mid;
	}
	return p->n_entries;
}

// Tells whether a link's target may put prefix before an entry's name:
// nothing, "./", the page's entry prefix, or -u's URL or its path.
static bool may_prefix(const page *p, span prefix)
{
	return length(prefix) == 0 || is_same(prefix, "./", 2) || is_same(prefix, p->prefix.s, length(p->prefix)) ||
	       is_same(prefix, p->url.s, length(p->url)) || is_same(prefix, p->url_path.s, length(p->url_path));
}

// The index of the entry called by the name at the end of target, or
// n_entries for a name that no longer stands in the folder, the name
// decoded into name; NONE for a name that validate_name refuses.
static size_t find_named(const page *p, span target, char *name)
{
	if (!decode_name(find_name(target), target.e, name) || !validate_name(name))
		return NONE;
	return find_entry(p, name);
}

// The entry that a link to target names if it is an entry line, as
// find_named tells; NONE when it is no entry line.
static size_t find_linked(const page *p, span target, char *name)
{
	return may_prefix(p, {target.s, find_name(target)}) ? find_named(p, target, name) : NONE;
}

// Tells whether the link line [s, e), which l reads, links the entry
// called name as quenlet writes its lines: "=>NAME DATE", two spaces, the
// title.
static bool is_quenlet_line(const char *s, const char *e, const link_line *l, const char *name)
{
	const char *after = l->target.e;
	return l->target.s == s + 2 && find_name(l->target) == l->target.s && e - after >= 13 && *after == ' ' &&
	       memcmp(after + 1, name, 10) == 0 && memcmp(after + 11, "  ", 2) == 0;
}

// Tells whether target holds a date as a path does, YYYY/MM/DD or
// YYYY-MM-DD.
static bool holds_date(span target)
{
	for (const char *c = target.s; target.e - c >= 10; c++) {
		bool date = (c[4] == '/' || c[4] == '-') && c[7] == c[4];
		for (int i = 0; date && i < 10; i++)
			date = i == 4 || i == 7 || isdigit((unsigned char)c[i]);
		if (date)
			return true;
	}
	return false;
}

// Tells whether a link to target, on no entry line or dated line, is to a
// post that cannot be dated: a relative link to a file or folder below the
// page's folder, but for the two files published beside it, or a link whose
// path holds a date.
static bool is_undated_post(span t)
{
	if (holds_date(t))
		return true;
	if (*t.s == '/' || measure_scheme(t.s, t.e))
		return false;
	while (length(t) >= 2 && t.s[0] == '.' && t.s[1] == '/')
		t.s += 2;
	return length(t) > 0 && !is_same(t, ".", 1) && !is_same(t, "..", 2) && !(length(t) >= 3 && memcmp(t.s, "../", 3) == 0) &&
	       !is_same(t, "index.gmi", 9) && !is_same(t, "atom.xml", 8);
}

// Length of the separator at s, before end: blanks, then perhaps a word of
// punctuation alone (a dash, a colon, a bar) followed by blanks.
static size_t measure_separator(const char *s, const char *end)
{
	const char *word = skip_blanks(s, end), *c = word;
	for (;;) {
		size_t n = c == end ? 0 : ispunct((unsigned char)*c) ? 1 :
			   end - c >= 3 && memcmp(c, "\u2013", 3) == 0 ? 3 :  // en dash
			   end - c >= 3 && memcmp(c, "\u2014", 3) == 0 ? 3 :  // em dash
			   end - c >= 3 && memcmp(c, "\u2022", 3) == 0 ? 3 :  // bullet
			   end - c >= 2 && memcmp(c, "\u00b7", 2) == 0 ? 2 : 0;  // middle dot
		if (n == 0)
			break;
		c += n;
	}
	if (c > word && c < end && is_blank(*c))
		return skip_blanks(c, end) - s;
	return word - s;
}

// The text s without the blanks around it or a final carriage return.
static span trim(span s)
{
	if (s.e > s.s && s.e[-1] == '\r')
		s.e--;
	while (s.e > s.s && is_blank(s.e[-1]))
		s.e--;
	return {skip_blanks(s.s, s.e), s.e};
}

// The title a label shows: what follows a date and the separator after it,
// if it starts with one.
static span read_title(span label)
{
	if (starts_with_date(label.s, length(label)))
		label.s += 10;
	label.s += measure_separator(label.s, label.e);
	return trim(label);
}

// The title of an entry: its heading's text.
static span read_heading(const entry *e)
{
	return trim({e->head + 1, e->head + 1 + measure_title(e->head, e->n)});
}

// The line at the offset of the mark m, and its end without the line end.
static const char *find_mark(const page *p, size_t m, const char **e)
{
	const char *line = p->old.s + (p->marks[m] & ((1u << KIND_SHIFT) - 1)), *end = p->old.s + p->old.len;
	*e = strip_line_end(line, next_line(line, end));
	return line;
}

// A line of the page read as one of the four kinds.
struct reading {
	kind k;            // 0 for the author's text
	link_line link;
	size_t entry;      // an entry line's entry, or n_entries for a name gone
	span key;          // what orders a list line: its entry's name, or the date a dated line shows
	bool quenlet;      // an entry line written as quenlet writes it
	bool undated;      // a link to a post that cannot be dated
};

// Reads the line [line, e), without its line end, name being room for the
// name an entry line links; first tells whether it is the page's first.
static reading read_line(const page *p, const char *line, const char *e, bool first, char *name)
{
	reading r = {};
	r.entry = NONE;
	if (read_link(line, e, &r.link)) {
		r.entry = find_linked(p, r.link.target, name);
		if (r.entry != NONE) {
			r.quenlet = is_quenlet_line(line, e, &r.link, name);
			r.k = r.entry == p->n_entries ? GONE_LINE : r.quenlet && p->entries[r.entry].head ? OWN_LINE : ENTRY_LINE;
			const char *key = r.entry < p->n_entries ? p->entries[r.entry].name : name;
			r.key = {key, key + strlen(key)};
		} else if (starts_with_date(r.link.label.s, length(r.link.label))) {
			r.k = DATED_LINE;
			r.key = {r.link.label.s, r.link.label.s + 10};
		} else {
			r.undated = is_undated_post(r.link.target);
		}
	} else if (!first && find_year(line, e)) {
		r.k = MAYBE_HEADING;
	}
	return r;
}

// What orders the kept list line at mark m.
static span read_key(const page *p, size_t m)
{
	char name[NAME_ROOM];
	const char *e, *line = find_mark(p, m, &e);
	return read_line(p, line, e, false, name).key;
}

static int compare_keys(span a, span b)
{
	size_t an = length(a), bn = length(b);
	int c = memcmp(a.s, b.s, an < bn ? an : bn);
	return c ? c : (an > bn) - (an < bn);
}

// The blank lines after the line at s.
static span find_blanks_after(const char *s, const char *end)
{
	const char *from = next_line(s, end), *c = from;
	for (const char *next; c < end && (next = next_line(c, end))[-1] == '\n' && is_blank_line(c, next);)
		c = next;
	return {from, c};
}

// The blank lines right before the line at s, in the page starting at begin.
static span find_blanks_before(const char *begin, const char *s)
{
	const char *c = s;
	while (c > begin) {
		const char *prev = c - 1;
		while (prev > begin && prev[-1] != '\n')
			prev--;
		if (!is_blank_line(prev, c))
			break;
		c = prev;
	}
	return {c, s};
}

// Adds a mark of kind k for the line at line; returns false when memory runs
// out.
static bool add_mark(page *p, kind k, const char *line, size_t *room)
{
	if (!make_room(&p->marks, room, p->n_marks + 1, sizeof *p->marks))
		return false;
	p->marks[p->n_marks++] = (uint32_t)k << KIND_SHIFT | (uint32_t)(line - p->old.s);
	return true;
}

// Makes the marks from the one at from, headings waiting for the next list
// line, year headings when they hold year, and forgets the others.
static void settle_headings(page *p, size_t from, int year)
{
	const char *begin = p->old.s, *end = begin + p->old.len;
	size_t kept = from;
	for (size_t m = from; m < p->n_marks; m++) {
		const char *e, *line = find_mark(p, m, &e);
		if (read_year(find_year(line, e)) != year)
			continue;
		p->marks[kept] = (uint32_t)YEAR_HEADING << KIND_SHIFT | (uint32_t)(line - begin);
		if (!p->year_heading[year])
			p->year_heading[year] = kept + 1;
		if (p->top == NONE) {
			p->top = kept;
			p->after_heading = find_blanks_after(line, end);
		} else if (!p->between_sections.s) {
			p->between_sections = find_blanks_before(begin, line);
		}
		kept++;
	}
	p->n_marks = kept;
}

// Takes the way the first list line [s, next), which l reads, is written:
// quenlet's way when it is quenlet's or shows no label, or when a line
// written its way would be taken for quenlet's on the next run.
static void read_style(page *p, const char *s, const char *next, const link_line *l, bool entry_line, bool quenlet)
{
	const char *e = strip_line_end(s, next), *label = l->label.s;
	p->line_end = e < next && *e == '\r' ? "\r\n" : "\n";
	p->gap1 = {s + 2, l->target.s};
	p->gap2 = {l->target.e, label};
	p->shows_date = starts_with_date(label, e - label);
	if (p->shows_date)
		label += 10;
	p->gap3 = {label, label + measure_separator(label, e)};
	static const char space[] = " ";
	if (p->shows_date && label == e)
		p->gap3 = {space, space + 1};
	// New lines take the first line's "./" or nothing, or else the page's
	// entry prefix, and else the prefix of the first line if it is an entry
	// line, whose name is gone.
	span before = {l->target.s, find_name(l->target)};
	p->line_prefix = length(before) == 0 || is_same(before, "./", 2) ? before : length(p->prefix) ? p->prefix :
			 entry_line ? before : span{};
	bool like_quenlet = length(p->gap1) == 0 && length(p->line_prefix) == 0 && is_same(p->gap2, " ", 1) && p->shows_date &&
			    length(p->gap3) >= 2 && memcmp(p->gap3.s, "  ", 2) == 0;
	p->as_quenlet = quenlet || l->label.s == e || like_quenlet;
}

// Sets p's URL, ended by "/", and its path, from url.
static bool set_url(page *p, const char *url)
{
	if (!url)
		return true;
	size_t len = strlen(url);
	char *copy = (char *)malloc(len + 2);
	if (!copy)
		return false;
	memcpy(copy, url, len);
	if (len == 0 || url[len - 1] != '/')
		copy[len++] = '/';
	copy[len] = '\0';
	p->url = {copy, copy + len};
	const char *host = strstr(copy, "://");
	const char *path = host ? strchr(host + 3, '/') : nullptr;
	p->url_path = {path ? path : copy + len, copy + len};
	return true;
}

// Finds the entry prefix: the root path or absolute URL that the page's
// first link to a name standing in the folder so puts before it.
static void find_prefix(page *p)
{
	const char *end = p->old.s + p->old.len;
	char name[NAME_ROOM];
	for (const char *line = p->old.s, *next; line < end; line = next) {
		next = next_line(line, end);
		link_line l;
		// Most lines link a name alone, which starts with a digit.
		const char *target = next - line >= 2 && line[0] == '=' && line[1] == '>' ? skip_blanks(line + 2, next) : next;
		if (target == next || isdigit((unsigned char)*target) || !read_link(line, strip_line_end(line, next), &l))
			continue;
		span before = {l.target.s, find_name(l.target)};
		if (length(before) > 0 && (*before.s == '/' || measure_scheme(before.s, before.e)) && find_named(p, l.target, name) < p->n_entries) {
			p->prefix = before;
			return;
		}
	}
}

// Reads each line of p's old page as one of the four kinds, marking the
// list lines and the year headings; returns false when memory runs out.
static bool mark_lines(page *p)
{
	const char *begin = p->old.s, *end = begin + p->old.len, *list_end = nullptr;
	size_t number = 0, room = 0, waiting = 0;
	bool adjacent = false;  // nothing but blank lines since the last list line
	char name[NAME_ROOM];
	for (const char *line = begin, *next; line < end; line = next) {
		next = next_line(line, end);
		number++;
		const char *e = strip_line_end(line, next);
		if (skip_blanks(line, e) == e)
			continue;
		reading r = read_line(p, line, e, line == begin, name);
		if (r.undated && p->undatable++ == 0)
			p->first_undatable = number;
		adjacent = adjacent && is_list(r.k);
		if (r.k == MAYBE_HEADING && !add_mark(p, r.k, line, &room))
			return false;
		if (!is_list(r.k))
			continue;
		settle_headings(p, waiting, read_year(r.key.s));
		if (!add_mark(p, r.k, line, &room))
			return false;
		waiting = p->n_marks;
		if (r.entry < p->n_entries)
			p->linked[r.entry] = true;
		if (p->listed++ == 0) {
			read_style(p, line, next, &r.link, r.k != DATED_LINE, r.quenlet);
		} else if (adjacent && !p->between_entries.s) {
			p->between_entries = {list_end, line};
		}
		list_end = next;
		adjacent = true;
	}
	p->n_marks = waiting;
	return true;
}

// Makes the last line of a page without a list its year heading if it is a
// heading that holds the year of the newest entry, as if a list stood below
// it already.
static bool head_new_list(page *p)
{
	const char *begin = p->old.s, *tail = find_blanks_before(begin, begin + p->old.len).s, *last = tail - (tail > begin);
	while (last > begin && last[-1] != '\n')
		last--;
	size_t newest = 0, room = 0;
	while (newest < p->n_entries && !p->entries[newest].head)
		newest++;
	const char *year = last > begin && newest < p->n_entries ? find_year(last, strip_line_end(last, tail)) : nullptr;
	if (!year || memcmp(year, p->entries[newest].name, 4) != 0)
		return true;
	if (!add_mark(p, MAYBE_HEADING, last, &room))
		return false;
	settle_headings(p, 0, read_year(year));
	return true;
}

// Where each new entry's line goes: right above the first kept list line
// dated earlier, c; where the page has year headings and that line is of
// another year, in its year's section (at its end when it stands above c),
// or, when its year has none, under a new heading right above the one of
// c's section; after the last list line when none is dated earlier; never
// above a line placed before it. Returns false when memory runs out.
static bool place_entries(page *p)
{
	size_t n = 0;
	for (size_t i = 0; i < p->n_entries; i++)
		n += p->entries[i].head && !p->linked[i];
	p->slots = (slot *)malloc(n * sizeof *p->slots + 1);
	if (!p->slots)
		return false;
	size_t last = NONE;  // the last list mark
	for (size_t m = 0; m < p->n_marks; m++)
		last = is_list(kind_of(p->marks[m])) ? m : last;
	uint32_t end = last == NONE ? 2 * p->n_marks : 2 * last + 1, prev = 0;
	size_t c = 0, last_kept = NONE, section = NONE, first_year = NONE, first = 0;
	int made = -1;  // the year of the last new heading
	for (size_t i = 0; i < p->n_entries; i++) {
		const entry *e = &p->entries[i];
		if (!e->head || p->linked[i])
			continue;
		span key = {e->name, e->name + strlen(e->name)};
		for (; c < p->n_marks; c++) {
			kind k = kind_of(p->marks[c]);
			if (is_kept(k) && compare_keys(read_key(p, c), key) < 0)
				break;
			last_kept = is_kept(k) ? c : last_kept;
			section = k == YEAR_HEADING ? c : is_list(k) ? NONE : section;
		}
		int year = read_year(e->name);
		size_t h = p->year_heading[year] ? p->year_heading[year] - 1 : NONE, near = c < p->n_marks ? c : last_kept;
		uint32_t pos = c < p->n_marks ? 2 * c : end;
		bool heading = false;
		if (p->top != NONE && (near == NONE || read_year(read_key(p, near).s) != year)) {
			if (h != NONE && h < c && last_kept != NONE && last_kept > h) {
				pos = 2 * last_kept + 1;
			} else if (h != NONE) {
				// A section with no kept line above c, or one below it on a
				// page out of order: above its first list line.
				if (first_year != (size_t)year) {
					for (first = h + 1; first < p->n_marks && !is_list(kind_of(p->marks[first]));)
						first++;
					first_year = year;
				}
				pos = first < p->n_marks ? 2 * first : end;
			} else if (h == NONE && made == year) {
				pos = prev;  // under the heading made for the entry before
			} else if (h == NONE) {
				heading = true;
				made = year;
				if (c < p->n_marks && section != NONE)
					pos = 2 * section;
			}
		}
		prev = pos < prev ? prev : pos;
		p->slots[p->n_new++] = {prev, (uint32_t)i, heading};
	}
	return true;
}

bool read_page(text old, const entry *entries, size_t n, const char *url, page *p)
{
	*p = {};
	p->old = old;
	p->entries = entries;
	p->n_entries = n;
	p->top = NONE;
	p->linked = (bool *)calloc(n + 1, sizeof *p->linked);
	p->year_heading = (uint32_t *)calloc(10000, sizeof *p->year_heading);
	if (!p->linked || !p->year_heading || !set_url(p, url))
		return false;
	find_prefix(p);
	if (!mark_lines(p))
		return false;
	if (p->listed == 0) {
		p->as_quenlet = true;
		p->line_end = "\n";
		if (!head_new_list(p))
			return false;
	}
	return place_entries(p);
}

void free_page(page *p)
{
	free(p->linked);
	free(p->year_heading);
	free(p->marks);
	free(p->slots);
	free(p->items);
	free((char *)p->url.s);
}

bool loses_list(const page *p)
{
	for (size_t m = 0; m < p->n_marks; m++)
		if (is_kept(kind_of(p->marks[m])))
			return false;
	return p->listed > 0 && p->n_new == 0;
}

// The new page as it is written: where the old text is written to, and what
// the last thing written was.
struct writer {
	FILE *out;
	page *p;
	const char *at;   // the old text not yet written
	size_t next_kept;  // the next kept list mark, for year headings to look at
	bool list_last;   // a list line, with nothing after it
	bool new_last;    // a new list line
	bool blank_last;  // a blank line
	bool mid_line;    // an old last line with no line end
	bool dropping;    // blank lines are dropped, after a line removed, until another line
	bool collect;     // the list is gathered into p->items
};

static void put(writer *w, const char *s, size_t len)
{
	fwrite(s, 1, len, w->out);
}

static void put_span(writer *w, span s)
{
	put(w, s.s, length(s));
}

// Writes the old text from w->at to upto, blank lines first dropped when
// a line before was removed.
static void copy_text(writer *w, const char *upto)
{
	const char *s = w->at;
	for (const char *next; w->dropping && s < upto && is_blank_line(s, next = next_line(s, upto));)
		s = next;
	w->at = upto;
	if (s == upto)
		return;
	put(w, s, upto - s);
	const char *last = upto - 1;
	while (last > s && last[-1] != '\n')
		last--;
	w->blank_last = is_blank_line(last, upto);
	w->mid_line = upto[-1] != '\n';
	w->list_last = w->new_last = w->dropping = false;
}

// Adds to the collected list the line of what, which stands at or right
// above the old text at at.
static void collect_item(writer *w, uint32_t what, const char *date, const char *at)
{
	page *p = w->p;
	if (!w->collect)
		return;
	uint32_t ymd = 0;
	for (int i = 0; i < 10; i++)
		ymd = i == 4 || i == 7 ? ymd : ymd * 10 + (date[i] - '0');
	p->items[p->n_items++] = {ymd, (uint32_t)(at - p->old.s), what};
}

// Writes the line end of an old line that lacks one and stops at end: the
// page's, or only the LF of a CR LF whose CR the file's last byte is.
static void finish_line(writer *w, const char *end)
{
	fputs(end[-1] == '\r' ? "\n" : w->p->line_end, w->out);
}

// Ends an old last line with no line end, before a line written after it.
static void end_line(writer *w)
{
	if (w->mid_line)
		finish_line(w, w->at);
	w->mid_line = false;
}

// Writes the blank lines between two sections.
static void separate_sections(writer *w)
{
	if (w->p->between_sections.s)
		put_span(w, w->p->between_sections);
	else
		fputs(w->p->line_end, w->out);
}

// Writes a heading for the new section of the year at date: the topmost
// year heading with the year changed, and the blank lines under it.
static void open_section(writer *w, const char *date)
{
	const page *p = w->p;
	end_line(w);
	if (w->list_last)
		separate_sections(w);
	const char *e, *line = find_mark(p, p->top, &e), *year = find_year(line, e);
	const char *end = next_line(line, p->old.s + p->old.len);
	put(w, line, year - line);
	put(w, date, 4);
	put(w, year + 4, end - year - 4);
	if (end[-1] != '\n')
		finish_line(w, end);
	put_span(w, p->after_heading);
	w->list_last = w->new_last = w->dropping = false;
	w->blank_last = length(p->after_heading) > 0;
}

// Writes the line of the new entry i, in the page's way.
static void write_new(writer *w, size_t i)
{
	const page *p = w->p;
	const entry *e = &p->entries[i];
	end_line(w);
	if (w->list_last)
		put_span(w, p->between_entries);
	collect_item(w, i, e->name, w->at);
	if (p->as_quenlet) {
		write_link(w->out, e->name, e->head, e->n, false);
	} else {
		span title = read_heading(e);
		fputs("=>", w->out);
		put_span(w, p->gap1);
		put_span(w, p->line_prefix);
		write_target(w->out, e->name, false);
		put_span(w, p->gap2);
		if (p->shows_date)
			put(w, e->name, 10);
		put_span(w, p->gap3);
		put_span(w, title);
		fputs(p->line_end, w->out);
	}
	w->list_last = w->new_last = true;
	w->blank_last = w->dropping = false;
}

// Starts the list of a page that had none: after a blank line, unless the
// page is empty or ends with one.
static void start_list(writer *w)
{
	const char *s = w->p->old.s, *end = s + w->p->old.len, *last = end - (s < end);
	while (last > s && last[-1] != '\n')
		last--;
	fputs(s == end ? "" : end[-1] != '\n' ? "\n\n" : is_blank_line(last, end) ? "" : "\n", w->out);
	w->mid_line = false;
}

// Writes the new entries placed at pos, *next the first of them.
static void place_new(writer *w, size_t *next, uint32_t pos)
{
	const page *p = w->p;
	size_t j = *next;
	bool opened = false;
	if (j < p->n_new && p->slots[j].pos == pos && pos == 2 * p->n_marks && p->top == NONE)
		start_list(w);
	for (; j < p->n_new && p->slots[j].pos == pos; j++) {
		const entry *e = &p->entries[p->slots[j].entry];
		if (p->slots[j].heading) {
			open_section(w, e->name);
			opened = true;
		}
		write_new(w, p->slots[j].entry);
	}
	// A section opened right above an old line is closed before it.
	if (opened && pos % 2 == 0 && pos < 2 * p->n_marks) {
		separate_sections(w);
		w->list_last = w->new_last = false;
	}
	*next = j;
}

// Tells whether the year heading at mark m heads the next list line below
// it in the new page, the new entry *next or the next kept old line.
static bool heads_list(writer *w, size_t m, size_t next, int year)
{
	const page *p = w->p;
	if (w->next_kept <= m)
		for (w->next_kept = m + 1; w->next_kept < p->n_marks && !is_kept(kind_of(p->marks[w->next_kept]));)
			w->next_kept++;
	if (next < p->n_new && p->slots[next].pos <= 2 * w->next_kept)
		return read_year(p->entries[p->slots[next].entry].name) == year;
	return w->next_kept < p->n_marks && read_year(read_key(p, w->next_kept).s) == year;
}

// Writes the old line at mark m as its kind says: kept, written anew from
// its entry's heading, or removed.
static void write_mark(writer *w, size_t m, size_t next)
{
	page *p = w->p;
	kind k = kind_of(p->marks[m]);
	const char *e, *line = find_mark(p, m, &e), *end = next_line(line, p->old.s + p->old.len);
	bool removed = k == GONE_LINE;
	if (k == YEAR_HEADING && !heads_list(w, m, next, read_year(find_year(line, e)))) {
		removed = true;
		w->blank_last = true;  // its blank lines go with it
	}
	if (removed) {
		w->dropping = w->blank_last;
		w->at = end;
		return;
	}
	if (k == YEAR_HEADING)
		return copy_text(w, end);
	if (w->new_last)
		put_span(w, p->between_entries);
	link_line l;
	read_link(line, e, &l);
	char name[NAME_ROOM];
	// The entry's index, needed for the list and for a line written anew.
	size_t i = k == DATED_LINE || (k == ENTRY_LINE && !w->collect) ? NONE : find_linked(p, l.target, name);
	collect_item(w, i == NONE ? DATED : OLD_LINE | (uint32_t)i, i == NONE ? l.label.s : name, line);
	if (k == OWN_LINE)
		write_link(w->out, p->entries[i].name, p->entries[i].head, p->entries[i].n, false);
	else
		put(w, line, end - line);
	w->at = end;
	w->mid_line = end[-1] != '\n' && k != OWN_LINE;
	w->list_last = true;
	w->new_last = w->blank_last = w->dropping = false;
}

// Writes title, if any, as the page's first line: in place of a level-1
// heading there, keeping its line end, else on top with a blank line after
// it.
static void write_head(writer *w, const char *title)
{
	if (!title)
		return;
	const char *s = w->p->old.s, *end = s + w->p->old.len, *next = s < end ? next_line(s, end) : end;
	if (is_level_1(s, next)) {
		fprintf(w->out, "# %s", title);
		w->at = strip_line_end(s, next);
	} else {
		fprintf(w->out, "# %s\n\n", title);
		w->blank_last = true;
	}
}

// Orders the collected list newest first, and as the page has it for a
// date.
static int compare_items(const void *a, const void *b)
{
	const item *x = (const item *)a, *y = (const item *)b;
	if (x->date != y->date)
		return x->date > y->date ? -1 : 1;
	if (x->at != y->at)
		return x->at < y->at ? -1 : 1;
	return (x->what > y->what) - (x->what < y->what);
}

bool write_page(FILE *out, page *p, const char *title, bool collect)
{
	if (collect) {
		free(p->items);
		p->n_items = 0;
		p->items = (item *)malloc((p->listed + p->n_new) * sizeof *p->items + 1);
		if (!p->items)
			return false;
	}
	writer w = {out, p, p->old.s, 0, false, false, true, false, false, collect};
	write_head(&w, title);
	size_t next = 0;
	for (size_t m = 0;; m++) {
		const char *e;
		copy_text(&w, m < p->n_marks ? find_mark(p, m, &e) : p->old.s + p->old.len);
		place_new(&w, &next, 2 * m);
		if (m == p->n_marks)
			break;
		write_mark(&w, m, next);
		place_new(&w, &next, 2 * m + 1);
	}
	if (collect)
		qsort(p->items, p->n_items, sizeof *p->items, compare_items);
	return true;
}

shown_item read_item(const page *p, const item *it)
{
	shown_item shown = {};
	const entry *e = it->what == DATED ? nullptr : &p->entries[it->what & ~OLD_LINE];
	if (!e || !e->head) {
		const char *line = p->old.s + it->at, *end = p->old.s + p->old.len;
		link_line l;
		read_link(line, strip_line_end(line, next_line(line, end)), &l);
		shown = {l.label.s, read_title(l.label), l.target, e};
	}
	if (e) {
		shown.e = e;
		shown.date = e->name;
		if (e->head)
			shown.title = read_heading(e);
	}
	return shown;
}

const char *find_title(text t, size_t *len)
{
	const char *end = t.s + t.len;
	for (const char *line = t.s, *next; line < end; line = next) {
		next = next_line(line, end);
		if (is_level_1(line, next)) {
			const char *s = skip_blanks(line + 1, next), *e = strip_line_end(s, next);
			while (e > s && is_blank(e[-1]))
				e--;
			*len = e - s;
			return s;
		}
	}
	return nullptr;
}

// SPDX-License-Identifier: ISC
// The page, read: the author's index.gmi, into which the journal is merged,
// read once, line by line, into a record for each line of its list and
// each heading of a section. Each line is one of four kinds:
//  1. an entry line: a link to an entry's name, alone, after "./", or after
//     the page's prefix (the root path or absolute URL, ended by "/", that
//     its first link to an entry, or else to another name standing in the
//     folder, uses) or -u's URL or path;
//  2. a dated line: any other link whose label shows a date, as 2024-03-25,
//     26 Oct 2021 or April 24th, 2023, at its start or its end;
//  3. a year or month heading: a heading, not the page's first line,
//     holding a four-digit year, and for a month a month's name or number,
//     whose next entry or dated line below is of that year or month;
//  4. the author's text, and all that a preformatted block holds.
// Links without a date to posts of this capsule are counted, for a page
// without a list could be a list that cannot be read.
#include "page.h"

#include "core.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

constexpr size_t NONE = (size_t)-1;

// Room for an entry's name decoded from a link; a longer one stands in no
// folder.
constexpr size_t NAME_ROOM = 1024;

// The number of year and month keys of the heading table: year * 13 +
// month, month 0 for the year.
constexpr size_t KEYS = 10000 * 13;

// Tells whether the line [s, e) is a level-1 heading: "#" not followed
// by "#".
static bool is_level_1(const char *s, const char *e)
{
	return s < e && s[0] == '#' && (e - s == 1 || s[1] != '#');
}

static bool is_same(span a, const char *s, size_t len)
{
	return length(a) == len && memcmp(a.s, s, len) == 0;
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

// Tells whether name is one of the folder's other names.
static bool is_other_name(const page *p, const char *name)
{
	size_t lo = 0, hi = p->n_names;
	while (lo < hi) {
		size_t mid = lo + (hi - lo) / 2;
		int c = strcmp(p->names[mid], name);
		if (c == 0)
			return true;
		if (c < 0)
			lo = mid + 1;
		else
			hi = mid;
	}
	return false;
}

// Tells whether a link's target may put prefix before an entry's name:
// nothing, "./", the page's prefix, or -u's URL or its path.
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

// Tells whether a path's last segment, [s, e), may be a post: a folder, or
// a page but index.gmi, gemtext or without an extension.
static bool may_be_post(const char *s, const char *e)
{
	const char *dot = e;
	while (dot > s && dot[-1] != '.')
		dot--;
	if (s == e || dot == s)
		return true;
	size_t len = e - dot;
	const char *gmi = "gmi", *gemini = "gemini";
	bool gemtext = len == 3 || len == 6;
	for (size_t i = 0; gemtext && i < len; i++)
		gemtext = (dot[i] | 0x20) == (len == 3 ? gmi : gemini)[i];
	return gemtext && !(e - s == 9 && memcmp(s, "index.gmi", 9) == 0);
}

// Tells whether a link to target, on no entry line and without a date,
// links a post of this capsule: a page or folder below the page's folder or
// in a folder beside it, one in a folder under the capsule's root, or one
// under -u's URL; not index.gmi, a file that is not gemtext, the capsule's
// root and its own files, the folders above the page and their files, or
// another host.
static bool is_post_link(const page *p, span t)
{
	const char *c = t.s, *e = t.s;
	while (e < t.e && *e != '?' && *e != '#')
		e++;
	if (measure_scheme(c, e)) {
		if (length(p->url) == 0 || (size_t)(e - c) <= length(p->url) || memcmp(c, p->url.s, length(p->url)) != 0)
			return false;
		c += length(p->url);
	} else if (e - c >= 1 && *c == '/') {
		const char *folder = (const char *)memchr(c + 1, '/', e - c - 1);
		if (e - c >= 2 && c[1] == '/')
			return false;
		if (!folder || folder + 1 == e)
			return false;
	} else {
		while (e - c >= 2 && c[0] == '.' && c[1] == '/')
			c += 2;
		if (e - c >= 3 && memcmp(c, "../", 3) == 0) {
			// A folder beside the page's, or a post in it.
			c += 3;
			const char *folder = (const char *)memchr(c, '/', e - c);
			if (!folder || folder == c || (folder - c == 2 && c[0] == '.' && c[1] == '.') || (folder - c == 1 && *c == '.'))
				return false;
		} else if (c == e || (e - c == 1 && *c == '.') || (e - c == 2 && c[0] == '.' && c[1] == '.')) {
			return false;
		}
	}
	return may_be_post(find_name({c, e}), e);
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

span read_heading(const entry *e)
{
	return trim({e->head + 1, e->head + 1 + measure_title(e->head, e->n)});
}

span title_item(const entry *e)
{
	span t = read_heading(e);
	return length(t) ? t : span{e->name, e->name + strlen(e->name)};
}

// The key of a heading's year and month in the heading table.
static size_t key_of(const heading_date *h)
{
	return (size_t)h->year * 13 + h->month;
}

// A line of the page read as one of its kinds.
struct reading {
	kind k;            // 0 for the author's text
	link_line link;
	size_t entry;      // an entry line's entry, or n_entries for a name gone
	uint32_t date;     // a list line's date, YYYYMMDD
	label_date shown;  // a dated line's label, as its date shows it
	heading_date heading;  // a heading's year and month, year 0 for none
	bool quenlet;      // an entry line written as quenlet writes it
	bool post;         // a link to a post without a date
};

// Reads the line [line, e), without its line end, name being room for the
// name an entry line links; first tells whether it is the page's first, as
// full whether every label is to be read.
static reading read_line(const page *p, const char *line, const char *e, bool first, bool full, char *name)
{
	reading r = {};
	r.entry = NONE;
	if (read_link(line, e, &r.link)) {
		r.entry = find_linked(p, r.link.target, name);
		if (r.entry == NONE || full)
			read_label_date(r.link.label.s, r.link.label.e, &r.shown);
		if (r.entry != NONE) {
			r.quenlet = is_quenlet_line(line, e, &r.link, name);
			r.k = r.entry == p->n_entries ? GONE_LINE : r.quenlet && p->entries[r.entry].head ? OWN_LINE : ENTRY_LINE;
			r.date = r.entry < p->n_entries ? p->entry_dates[r.entry] : read_iso_date(name);
		} else if (r.shown.date) {
			r.k = DATED_LINE;
			r.date = r.shown.date;
		} else {
			r.post = is_post_link(p, r.link.target);
		}
	} else if (!first && *line == '#' && read_heading_date(line, e, &r.heading) && r.heading.day) {
		// A heading of a whole date is the author's note of a day, not a
		// section of a list.
		r.heading = {};
	}
	return r;
}

// Adds a record of kind k and key for the line at line; returns false when
// memory runs out.
static bool add_record(page *p, kind k, uint32_t key, const char *line, size_t *room)
{
	if (!make_room(&p->records, room, p->n_records + 1, sizeof *p->records))
		return false;
	p->records[p->n_records++] = {(uint32_t)(line - p->old.s), k, key};
	return true;
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

// Makes the record m a section heading, and, the first of its level, the
// topmost, whose way new headings copy.
static void settle_heading(page *p, size_t m)
{
	record &r = p->records[m];
	const char *line = p->old.s + r.at, *end = p->old.s + p->old.len;
	int year = r.key / 10000, month = r.key / 100 % 100, level = month != 0;
	size_t key = (size_t)year * 13 + month;
	if (!p->heading[key])
		p->heading[key] = m + 1;
	size_t first = p->top[0] < p->top[1] ? p->top[0] : p->top[1];
	if (p->top[level] == NONE) {
		p->top[level] = m;
		read_heading_date(line, strip_line_end(line, next_line(line, end)), &p->top_date[level]);
	}
	if (first == NONE)
		p->after_heading = find_blanks_after(line, end);
	else if (!p->between_sections.s && m != first && r.k == p->records[first].k)
		p->between_sections = find_blanks_before(p->old.s, line);
}

// Makes of the headings recorded from the record from those that head a
// list line of the date date, the year's and the month's, its sections;
// the others head none, and are only the author's.
static void settle_headings(page *p, size_t from, uint32_t date)
{
	for (size_t m = from; m < p->n_records; m++) {
		record &r = p->records[m];
		if (r.key == date / 10000 * 10000 || r.key == date / 100 * 100)
			settle_heading(p, m);
		else
			r.k = LOOSE_HEADING;
	}
}

// Takes the way the first list line [s, next), which r reads, is written:
// quenlet's way when it is quenlet's or shows no label, or when a line
// written its way would be taken for quenlet's on the next run.
static void read_style(page *p, const char *s, const char *next, const reading *r)
{
	line_style &style = p->style;
	const char *e = strip_line_end(s, next);
	const link_line *l = &r->link;
	style.line_end = e < next && *e == '\r' ? "\r\n" : "\n";
	style.gap1 = {s + 2, l->target.s};
	style.gap2 = {l->target.e, l->label.s};
	if (r->k != DATED_LINE)
		read_label_date(l->label.s, l->label.e, &style.date);
	else
		style.date = r->shown;
	// New lines take the first line's "./" or nothing, or else the page's
	// prefix, and else the prefix of the first line if it is an entry
	// line, whose name is gone.
	span before = {l->target.s, find_name(l->target)};
	style.prefix = length(before) == 0 || is_same(before, "./", 2) ? before : length(p->prefix) ? p->prefix :
		       r->k != DATED_LINE ? before : span{};
	const label_date &d = style.date;
	bool like_quenlet = length(style.gap1) == 0 && length(style.prefix) == 0 && is_same(style.gap2, " ", 1) && d.date &&
			    !d.at_end && d.style.form == ISO_DATE && length(d.before) == 0 && length(d.after) >= 2 &&
			    memcmp(d.after.s, "  ", 2) == 0;
	style.as_quenlet = r->quenlet || l->label.s == e || like_quenlet;
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

// Finds the page's prefix: the root path or absolute URL that its first
// link to an entry's name puts before it, or where none does, its first
// link to another name standing in the folder but index.gmi and atom.xml. A prefix is the page's
// whole, so it is found before the lines are read.
static void find_prefix(page *p)
{
	const char *end = p->old.s + p->old.len;
	char name[NAME_ROOM];
	span other = {};
	for (const char *line = p->old.s, *next; line < end; line = next) {
		next = next_line(line, end);
		link_line l;
		// Most lines link a name alone, which starts with a letter or digit.
		const char *target = next - line >= 2 && line[0] == '=' && line[1] == '>' ? skip_blanks(line + 2, next) : next;
		if (target == next || (*target != '/' && !measure_scheme(target, next)) ||
		    !read_link(line, strip_line_end(line, next), &l))
			continue;
		span before = {l.target.s, find_name(l.target)};
		if (length(before) == 0)
			continue;
		size_t i = find_named(p, l.target, name);
		if (i < p->n_entries) {
			p->prefix = before;
			return;
		}
		// index.gmi and atom.xml stand in every folder, so a link to one
		// may lead to another folder's.
		if (!other.s && i == NONE && decode_name(before.e, l.target.e, name) && strcmp(name, "index.gmi") != 0 &&
		    strcmp(name, "atom.xml") != 0 && is_other_name(p, name))
			other = before;
	}
	p->prefix = other;
}

// Reads each line of p's old page as one of its kinds, recording the list
// lines and the section headings, with full every label; returns false
// when memory runs out.
static bool record_lines(page *p, bool full, size_t *items_room)
{
	const char *begin = p->old.s, *end = begin + p->old.len, *list_end = nullptr, *first_heading = nullptr;
	size_t number = 0, room = 0, waiting = 0;
	uint32_t gap = 1, *seen = (uint32_t *)calloc(KEYS, sizeof *seen);  // the gap each key was last recorded in
	bool adjacent = false, preformatted = false, styled = false;
	char name[NAME_ROOM];
	if (!seen)
		return false;
	heading_date first_date = {};
	for (const char *line = begin, *next; line < end; line = next) {
		next = next_line(line, end);
		number++;
		const char *e = strip_line_end(line, next);
		bool toggle = e - line >= 3 && memcmp(line, "```", 3) == 0;
		preformatted ^= toggle;
		if (preformatted || toggle) {
			adjacent = false;
			continue;
		}
		if (skip_blanks(line, e) == e)
			continue;
		reading r = read_line(p, line, e, line == begin, full, name);
		adjacent = adjacent && r.k;
		if (r.heading.year) {
			size_t key = key_of(&r.heading);
			if (seen[key] == gap)
				continue;
			seen[key] = gap;
			if (!first_heading) {
				first_heading = line;
				first_date = r.heading;
			}
			if (!add_record(p, r.heading.month ? MONTH_HEADING : YEAR_HEADING,
					(uint32_t)(r.heading.year * 10000 + r.heading.month * 100), line, &room)) {
				free(seen);
				return false;
			}
			continue;
		}
		if (r.post && !p->post_link)
			p->post_link = number;
		if (r.post && !p->post_date.s)
			p->post_date = find_numeric_date(r.link.label.s, r.link.label.e);
		if (!r.k)
			continue;
		settle_headings(p, waiting, r.date);
		uint32_t key = r.k == ENTRY_LINE || r.k == OWN_LINE ? (uint32_t)r.entry : r.date;
		if (!add_record(p, r.k, key, line, &room)) {
			free(seen);
			return false;
		}
		waiting = p->n_records;
		gap++;
		if (r.entry < p->n_entries)
			p->linked[r.entry] = true;
		if (p->items && r.k != GONE_LINE) {
			p->items[p->n_items++] = {r.date, (uint32_t)(p->n_records - 1)};
			if (!make_room(&p->items, items_room, p->n_items + 1, sizeof *p->items)) {
				free(seen);
				return false;
			}
		}
		// New lines are written as the first line that the new page keeps,
		// or, where it keeps none, as the first.
		if (p->listed == 0 || (r.k != GONE_LINE && !styled))
			read_style(p, line, next, &r);
		styled = styled || r.k != GONE_LINE;
		if (p->listed++ > 0 && adjacent && !p->between_entries.s)
			p->between_entries = {list_end, line};
		list_end = next;
		adjacent = true;
	}
	free(seen);
	p->n_records = waiting;
	p->open_block = preformatted;
	// A year or month that has a heading heading no list line has its
	// section there, where no other heading makes one.
	for (size_t m = 0; m < p->n_records; m++) {
		const record &r = p->records[m];
		size_t key = (size_t)r.key / 10000 * 13 + r.key / 100 % 100;
		if (r.k == LOOSE_HEADING && !p->heading[key])
			p->heading[key] = m + 1;
	}
	// A page with no list yet ends new lines as its first line ends.
	const char *first_end = begin < end ? next_line(begin, end) : end;
	if (p->listed == 0 && first_end - begin >= 2 && first_end[-1] == '\n' && first_end[-2] == '\r')
		p->style.line_end = "\r\n";
	// A page with no list yet takes it under its topmost heading that holds
	// a year, as that heading's section.
	if (p->listed == 0 && first_heading) {
		if (!add_record(p, first_date.month ? MONTH_HEADING : YEAR_HEADING,
				(uint32_t)(first_date.year * 10000 + first_date.month * 100), first_heading, &room))
			return false;
		settle_heading(p, 0);
		p->anchor = 0;
	}
	return true;
}

bool read_page(text old, const entry *entries, size_t n, const char *const *names, size_t n_names, const char *url,
	       bool feed, page *p)
{
	*p = {};
	p->old = old;
	p->entries = entries;
	p->n_entries = n;
	p->names = names;
	p->n_names = n_names;
	p->top[0] = p->top[1] = p->anchor = NONE;
	p->style.line_end = "\n";
	p->style.as_quenlet = true;
	p->linked = (bool *)calloc(n + 1, sizeof *p->linked);
	p->entry_dates = (uint32_t *)malloc((n + 1) * sizeof *p->entry_dates);
	p->heading = (uint32_t *)calloc(KEYS, sizeof *p->heading);
	size_t items_room = 0;
	if (!p->linked || !p->entry_dates || !p->heading || !set_url(p, url) ||
	    (feed && !make_room(&p->items, &items_room, 1, sizeof *p->items)))
		return false;
	for (size_t i = 0; i < n; i++)
		p->entry_dates[i] = read_iso_date(entries[i].name);
	find_prefix(p);
	return record_lines(p, feed, &items_room);
}

uint32_t find_item_entry(const page *p, const item *it)
{
	if (it->ref & NEW_ITEM)
		return p->slots[it->ref & ~NEW_ITEM].entry;
	const record &r = p->records[it->ref];
	return r.k == ENTRY_LINE || r.k == OWN_LINE ? r.key : NO_ENTRY;
}

uint32_t show_item(const page *p, const item *it, span *title, span *target)
{
	uint32_t i = find_item_entry(p, it);
	*target = {};
	if (it->ref & NEW_ITEM) {
		*title = title_item(&p->entries[i]);
		return i;
	}
	// An entry's line shows its heading where it is written as quenlet
	// writes it or its label holds only a date, and a weekday; another
	// line's such label is its title whole.
	const char *line = p->old.s + p->records[it->ref].at, *end = p->old.s + p->old.len;
	char name[NAME_ROOM];
	reading r = read_line(p, line, strip_line_end(line, next_line(line, end)), false, true, name);
	span words = r.shown.title;
	while (length(words) > 0 && !isalnum((unsigned char)words.e[-1]) && (unsigned char)words.e[-1] < 0x80)
		words.e--;
	bool dated = length(words) == 0 || is_weekday(words.s, words.e);
	bool heading = i != NO_ENTRY && p->entries[i].head && (r.k == OWN_LINE || dated);
	*title = heading ? title_item(&p->entries[i]) : dated ? trim(r.link.label) : r.shown.title;
	*title = length(*title) ? *title : r.link.target;
	*target = r.link.target;
	return i;
}

void free_page(page *p)
{
	free(p->linked);
	free(p->entry_dates);
	free(p->heading);
	free(p->records);
	free(p->slots);
	free(p->items);
	free((char *)p->url.s);
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

// SPDX-License-Identifier: ISC
#ifndef QUENLET_PAGE_H
#define QUENLET_PAGE_H

#include "walk.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// len bytes of text at s.
struct text {
	char *s;
	size_t len;
};

// The bytes [s, e).
struct span {
	const char *s, *e;
};

// A line of the new page's list, as the feed takes it: the date it shows,
// the offset of the old line it is or stands right above, and its entry's
// index, with OLD_LINE set for an old line, or DATED for a dated line.
struct item {
	uint32_t date;  // YYYYMMDD
	uint32_t at;
	uint32_t what;
};
constexpr uint32_t OLD_LINE = 1u << 31, DATED = ~0u;

// Where a new entry's line goes: above or below a line the page marks,
// or at the page's end, and under a new year heading or not.
struct slot {
	uint32_t pos;    // twice the mark's index, plus one for below it
	uint32_t entry;  // the entry's index
	bool heading;
};

// The author's index.gmi, read as four kinds of lines (entry lines, dated
// lines, year headings and the author's text), with the journal's entries
// and where the new ones go.
struct page {
	text old;
	const entry *entries;  // the journal's entries, newest first
	size_t n_entries;
	bool *linked;          // per entry: an entry line of the page links it
	span prefix;           // the root path or URL the page's links put before an entry's name
	span line_prefix;      // what new lines put before it
	span url, url_path;    // -u's URL, ended by "/", and its path
	uint32_t *marks;       // the list lines and year headings: kind << 28 | offset
	size_t n_marks, listed;  // and how many list lines the old page has
	uint32_t *year_heading;  // per year: 1 + its first year heading's mark, or 0
	size_t top;            // the topmost year heading's mark, or SIZE_MAX
	// The way of the first list line: "=>", gap1, the prefix and target,
	// gap2, the date if it shows one, gap3, the title, its line end; or
	// quenlet's.
	span gap1, gap2, gap3;
	bool shows_date, as_quenlet;
	const char *line_end;
	// The blank lines between the first two adjacent list lines, under the
	// topmost year heading, and before the second.
	span between_entries, after_heading, between_sections;
	// Links to posts that cannot be dated, and the first one's line.
	size_t undatable, first_undatable;
	slot *slots;  // per entry that no entry line links, in the entries' order
	size_t n_new;
	item *items;  // the new list, when write_page collects it
	size_t n_items;
};

// Reads old, the page that may be empty, into *p, with entries, the n
// journal's entries newest first, and url, -u's URL or nullptr, and plans
// where the new entry lines go; returns false when memory runs out.
bool read_page(text old, const entry *entries, size_t n, const char *url, page *p);

// Frees what read_page and write_page allocated.
void free_page(page *p);

// Writes the new page to out: the old one's lines, but for the entry lines
// of names gone from the folder and the year headings left empty, with a
// line for each entry that none links, and title, if any, as its first
// line; with collect, gathers its list into p->items, newest first.
// Returns false when memory runs out.
bool write_page(FILE *out, page *p, const char *title, bool collect);

// Tells whether the new page would list nothing where the old one listed
// entries: only when every entry's file is gone.
bool loses_list(const page *p);

// What the feed shows of an item of the new list: its date, its title, and
// its entry, or else its line's target.
struct shown_item {
	const char *date;
	span title, target;
	const entry *e;
};
shown_item read_item(const page *p, const item *it);

// The text of the first level-1 heading in t, without the blanks around
// it, its length in *len; nullptr when there is none.
const char *find_title(text t, size_t *len);

#endif

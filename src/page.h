// SPDX-License-Identifier: ISC
#ifndef QUENLET_PAGE_H
#define QUENLET_PAGE_H

#include <stddef.h>
#include <stdio.h>

// len bytes of text at s.
struct text {
	char *s;
	size_t len;
};

// The bytes [s, e) of an old page.
struct span {
	const char *s, *e;
};

// A year heading of an old page, with its line end, and the year in it.
struct section {
	span heading;
	const char *year;
};

// An entry line of an old page, without its line end, and its target.
struct old_line {
	span line, target, end;
};

// An old page split around its list of entries, and how its author lays
// the list out.
struct page {
	text old;
	span list;  // its first line to its last entry line's end; both old's end without entries
	// The first entry line's way: "=>", gap1, the target, gap2, the date if
	// it shows one, gap3, the title, and its line end. Lines written as
	// quenlet writes them, or that show no title, are written by quenlet.
	span gap1, gap2, gap3;
	bool shows_date, as_quenlet;
	const char *line_end;
	// The blank lines under the topmost year heading, between the first
	// two sections, and between the first two entries that follow each
	// other.
	span after_heading, between_sections, between_entries;
	section *sections;  // the year headings, in the page's order
	size_t n_sections;
	// A year heading right above a list without sections, of another year,
	// and the blank lines under it.
	section loose;
	span after_loose;
	old_line *lines;    // the entry lines, by target, when the author's way is kept
	size_t n_lines;
};

// Finds the list of entries in old, a page that may be empty, and its
// layout, into *p; returns false when other text than blank lines and year
// headings stands between two entry lines, with its line number in *bad,
// or when memory runs out, with *bad 0.
bool read_page(text old, page *p, size_t *bad);

// Frees what read_page allocated.
void free_page(page *p);

// Tells whether the old page lists any entry.
bool has_list(const page *p);

// Writes to out the new page: the old text around its list, with title,
// if any, as its first line (in place of a level-1 heading there, or on
// top with a blank line after it), and the n index lines, newest first, in
// place of the list, laid out as the old one.
void write_page(FILE *out, const page *p, char *const *lines, size_t n, const char *title);

// The text of the first level-1 heading in t, without the blanks around
// it, its length in *len; nullptr when there is none.
const char *find_title(text t, size_t *len);

#endif

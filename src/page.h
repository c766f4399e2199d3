// SPDX-License-Identifier: ISC
#ifndef QUENLET_PAGE_H
#define QUENLET_PAGE_H

#include "dates.h"
#include "walk.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// What a record of the page is.
enum kind : uint8_t {
	ENTRY_LINE = 1,  // links an entry of the folder; kept as it is
	OWN_LINE,        // links an entry that has a heading, as quenlet writes it; follows the heading
	GONE_LINE,       // links a dated name that no longer stands in the folder; removed
	DATED_LINE,      // links anything else, and its label shows a date
	YEAR_HEADING,    // heads the lines of a year
	MONTH_HEADING,   // heads the lines of a month
	EMPTIED,         // a year or month heading that would head no line of its own; removed
	LOOSE_HEADING,   // a year or month heading that heads no list line: the author's, kept, and in order
};

// A list line or a section heading of the old page, as its one reading
// found it.
struct record {
	uint32_t at : 28;  // its offset: the old page is at most 256 MiB
	uint32_t k : 4;    // its kind
	// An entry line's entry, GONE_LINE's date, a dated line's, or a
	// heading's YYYYMM00, month 0 for a year.
	uint32_t key;
};

// Where a new entry's line goes: above or below a record, and under new
// headings or not.
struct slot {
	uint32_t pos;    // twice the record's index, plus one for below it
	uint32_t entry;  // the entry's index
	uint8_t opens;   // the new headings above it: 1 a year's, 2 a month's
};

// An item of the new page's list, as the feed shows it: its date, and its
// old line's record, or NEW_ITEM and the slot of a new line. Eight bytes,
// so that a page of short dated lines costs less than twice its size;
// show_item reads what its line shows.
struct item {
	uint32_t date;  // YYYYMMDD
	uint32_t ref;
};
constexpr uint32_t NO_ENTRY = ~0u, NEW_ITEM = 1u << 31;

// How the first list line is written, for new lines to follow: "=>", gap1,
// the prefix and target, gap2, then the label: the date, if it shows one,
// before or after the title, with what stands around it; or quenlet's way.
struct line_style {
	span gap1, gap2, prefix;
	label_date date;  // date 0 where it shows none
	bool as_quenlet;
	const char *line_end;
};

// The author's index.gmi, read as its list lines, its year and month
// headings and its text, with the journal's entries and where the new
// ones go.
struct page {
	text old;
	const entry *entries;     // the journal's entries, newest first
	size_t n_entries;
	uint32_t *entry_dates;    // per entry, YYYYMMDD
	const char *const *names;  // the folder's other names, sorted
	size_t n_names;
	bool *linked;             // per entry: an entry line of the page links it
	span prefix;              // the root path or URL the page's links put before a name of the folder
	span url, url_path;       // -u's URL, ended by "/", and its path
	record *records;          // the list lines and section headings
	size_t n_records, listed;  // and how many list lines the old page has
	uint32_t *heading;        // per year and month (year * 13 + month, 0 for the year), 1 + its first heading's record, or 0
	size_t top[2];            // the topmost year heading's record and month heading's, or SIZE_MAX
	heading_date top_date[2];  // and what they hold
	line_style style;
	// The blank lines between the first two adjacent list lines, under the
	// topmost section heading, and before the second.
	span between_entries, after_heading, between_sections;
	size_t post_link;         // the number of the first line that links a post without a date, or 0
	span post_date;           // the first date such a link shows in a form not read, as 03/03/2022
	size_t anchor;            // a page with no list's topmost heading, which the list goes under, or SIZE_MAX
	bool open_block;          // the page ends inside a preformatted block
	slot *slots;              // per entry that no entry line links, in the entries' order
	size_t n_new;
	item *items;              // the new list, newest first, when a feed is made of it
	size_t n_items;
};

// Reads old, the page that may be empty, into *p, with entries, the n
// journal's entries newest first, names, the n_names other names of the
// folder, sorted, and url, -u's URL or nullptr; with feed, gathers its list
// into p->items. Returns false when memory runs out.
bool read_page(text old, const entry *entries, size_t n, const char *const *names, size_t n_names,
	       const char *url, bool feed, page *p);

// Tells whether a new line of the date YYYYMMDD can be written in p's way:
// a day of the calendar, or any digits where p writes dates as digits and
// has no month sections, whose names and tables know twelve months.
bool may_write_date(const page *p, uint32_t date);

// Plans where the new entry lines of p go, which headings are left empty,
// and with a feed, the new list, newest first; returns false when memory
// runs out.
bool merge_entries(page *p);

// The entry of the item it of p's list, or NO_ENTRY for a dated line.
uint32_t find_item_entry(const page *p, const item *it);

// What the feed shows of the item it of p's list: its entry, or NO_ENTRY,
// and its title and, for a dated line, its link's target; an old line is
// read again for them.
uint32_t show_item(const page *p, const item *it, span *title, span *target);

// Frees what read_page and merge_entries allocated.
void free_page(page *p);

// Writes the new page to out: the old one's lines, but for the entry lines
// of names gone from the folder and the headings left empty, with a line for
// each entry that none links, and title, if any, as its first line.
void write_page(FILE *out, const page *p, const char *title);

// Writes the line of the new entry i as p writes new lines, without the
// line end, to out.
void write_new_line(FILE *out, const page *p, size_t i);

// Tells whether the new page would list nothing where the old one listed
// entries: only when every entry's file is gone.
bool loses_list(const page *p);

// A line the new page leaves out: its number in the old page, and the
// target of a link to a name gone or the text of a heading left empty.
struct removal {
	size_t number;
	span what;
	bool heading;
};

// Hands each line the new page leaves out, in order, to say.
void list_removals(const page *p, void (*say)(const removal *r, void *context), void *context);

// An entry line of the old page written as new lines are but for its
// title, which is not its entry's heading: its number, its entry, and that
// title.
struct retitled {
	size_t number;
	uint32_t entry;
	span title;
};

// Hands each such line, in order, to say.
void list_retitled(const page *p, void (*say)(const retitled *r, void *context), void *context);

// The title of an entry: its heading's text, without the blanks around it.
span read_heading(const entry *e);

// The title of an entry's feed item: its heading's text, or its name where
// that is empty.
span title_item(const entry *e);

// The text of the first level-1 heading in t, without the blanks around
// it, its length in *len; nullptr when there is none.
const char *find_title(text t, size_t *len);

#endif

// SPDX-License-Identifier: ISC
#ifndef QUENLET_JOURNAL_H
#define QUENLET_JOURNAL_H

#include "core.h"
#include "walk.h"

#include <stddef.h>

// The most bytes a summary takes: 301 characters of four bytes, which are
// cut to 300 with an ellipsis.
constexpr size_t SUMMARY_SIZE = 301 * 4 + 3;

// The most bytes of an entry the feed holds.
constexpr size_t CONTENT_SIZE = 1 << 20;

// The journal's entries as the walk hands them, kept; their names and
// title lines, one after another in one block that moves as it grows, are
// at offsets into it until the walk ends.
struct kept_entry {
	size_t name, head, n;
	left_out why;
	int error;
	size_t stop;                  // for one left out, the line of text before any heading
	size_t summary, summary_len;  // in the block too
	char *content;                // its own, with --content
	size_t content_len;
};
struct journal {
	kept_entry *kept;
	size_t n, room;
	size_t *names;  // the folder's other names
	size_t n_names, names_room;
	text block;
	size_t block_room;
	int unread;    // errno's value, when the folder could not be read to its end
	bool starved;  // memory ran out
	// With -u, each entry's summary is kept, with --content its whole text,
	// and with --limit only the newest entries' texts: a heap of them by
	// date, the oldest first, and beyond it those of the heap's oldest date,
	// which may be among the newest items too.
	bool summaries, contents;
	size_t limit;
	size_t *heap, n_heap, heap_room, *ties, n_ties, ties_room;
};

// Keeps name, another name of the folder than an entry's, in the journal
// at context, as a walk hands it.
void keep_name(const char *name, void *context);

// Keeps the entry e of the walk in the journal at context: its name, its
// title line, which may follow links, blank lines and preformatted blocks
// where its first line is no heading, and with summaries what the feed
// shows of it.
void keep_entry(const entry *e, void *context);

// Hands out the entries kept in j, pointing into it, in *entries, and the
// folder's other names in *names; returns false when memory runs out.
bool hand_out(const journal *j, entry **entries, const char ***names);

// Frees what j holds.
void free_journal(journal *j);

// Finds in body, all that was read of an entry whose first line is no
// heading, the heading that titles it past leading links, blank lines,
// preformatted blocks, lines of a date or metadata as a summary skips them,
// and headings of no letter or digit; returns it, or
// nullptr, with *stop the number of the line of text that came first, or
// 0 where what was read ended first.
const char *find_title_line(span body, size_t *stop);

// Writes to summary, of SUMMARY_SIZE bytes, the first paragraph of prose
// of the entry of which body was read, title line first: the first run of
// lines after it that are not blank, links, headings, punctuation alone,
// or in or opening a preformatted block, but for a run of lines that
// only date the post or give its metadata (Key: value), and a lone line
// ending in ":" above a link or list; a list's items kept apart, a quote's
// and list's markers left out, each run of blanks one; ill-formed UTF-8
// as U+FFFD and the controls but tab left out, as titles are; at most 300
// characters, else cut at the last blank before the limit and ended with an
// ellipsis. Returns its length, 0 when there is none.
size_t make_summary(span body, char *summary);

// The entry's text after its title line, title, in body, all that was read
// of it, as the feed holds it whole: its leading blank lines left out, and
// in an entry of more than CONTENT_SIZE bytes, cut at its last line end
// before that, *cut said so.
span find_content(span body, const char *title, bool *cut);

#endif

// SPDX-License-Identifier: ISC
#ifndef QUENLET_FEED_H
#define QUENLET_FEED_H

#include "page.h"

#include <stddef.h>
#include <stdio.h>

// The most bytes a summary takes: 301 characters of four bytes, which are
// cut to 300 with an ellipsis.
constexpr size_t SUMMARY_SIZE = 301 * 4 + 3;

// The most bytes of an entry the feed holds.
constexpr size_t CONTENT_SIZE = 1 << 20;

// Writes to summary, of SUMMARY_SIZE bytes, the first paragraph of the
// entry of which body was read, heading line first: after its heading line,
// the first run of lines that are not blank, links, headings, or in or
// opening a preformatted block, without the markers of a list ("* ") or a
// quote (">"), joined by a blank, each run of blanks one; ill-formed UTF-8
// as U+FFFD and the controls but tab left out, as titles are; at most 300
// characters, else cut at the last blank before the limit and ended with an
// ellipsis. Returns its length, 0 when there is none.
size_t make_summary(span body, char *summary);

// The entry's text after its heading line, in body, as the feed holds it
// whole: its leading blank lines left out, and in an entry of more than
// CONTENT_SIZE bytes, cut at its last line end before that, *cut said so.
span find_content(span body, bool *cut);

// Tells whether url can be a journal's absolute URL: scheme://host...,
// all printable ASCII.
bool is_journal_url(const char *url);

// The newest item of p's list with a date of the calendar, or
// nullptr; hands the entry of each item dated otherwise, which the feed
// leaves out, to say.
const item *date_feed(const page *p, void (*say)(uint32_t entry, void *context), void *context);

// Writes to out the Atom feed of the journal at the URL p was read with,
// called title (len bytes of a heading's text), dated by newest: the items
// of p's list that have a date of the calendar, newest first, at most
// limit, their links resolved against the URL, each entry's summary and
// content where it has them. Nothing reads the clock: the same page gives
// the same feed.
void write_feed(FILE *out, const page *p, const item *newest, size_t limit, const char *title, size_t len);

#endif

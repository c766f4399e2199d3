// SPDX-License-Identifier: ISC
#ifndef QUENLET_FEED_H
#define QUENLET_FEED_H

#include "page.h"

#include <stddef.h>
#include <stdio.h>

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

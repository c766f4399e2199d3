// SPDX-License-Identifier: ISC
#ifndef QUENLET_FEED_H
#define QUENLET_FEED_H

#include "page.h"

#include <stddef.h>
#include <stdio.h>

// Tells whether url can be a journal's absolute URL: scheme://host...,
// all printable ASCII.
bool is_journal_url(const char *url);

// The newest item of p's collected list with a date of the calendar, or
// nullptr; names each item dated otherwise on standard error, as one of
// folder, to be left out of the feed.
const item *date_feed(const page *p, const char *folder);

// Writes to out the Atom feed of the journal at the URL p was read with,
// called title (len bytes of a heading's text), dated by newest: the items
// of p's list that have a date of the calendar, newest first, their links
// resolved against the URL. Nothing reads the clock: the same page gives
// the same feed.
void write_feed(FILE *out, const page *p, const item *newest, const char *title, size_t len);

#endif

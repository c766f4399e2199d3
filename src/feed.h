// SPDX-License-Identifier: ISC
#ifndef QUENLET_FEED_H
#define QUENLET_FEED_H

#include <stddef.h>
#include <stdio.h>

// Tells whether url can be a journal's absolute URL: scheme://host...,
// all printable ASCII.
bool is_journal_url(const char *url);

// Writes to out the Atom feed of the journal in folder at url, called title
// (len bytes of a heading's text), whose n index lines are given newest
// first. An entry whose date is not one of the calendar is left out and
// named on standard error. Nothing reads the clock: the same lines give the
// same feed.
void write_feed(FILE *out, char *const *lines, size_t n, const char *url, const char *title, size_t len,
		const char *folder);

#endif

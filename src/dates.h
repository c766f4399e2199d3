// SPDX-License-Identifier: ISC
#ifndef QUENLET_DATES_H
#define QUENLET_DATES_H

#include "core.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// How a date is written: 2024-03-25, 26 Oct 2021 or April 24th, 2023,
// and how its month and day are.
enum date_form : uint8_t { ISO_DATE, DAY_MONTH_YEAR, MONTH_DAY_YEAR };
struct date_style {
	date_form form;
	bool full_month;  // the month's name in full, not of three letters
	char month_case;  // 'a' lower case, 'A' capital first, 'U' upper case
	bool period;      // a "." after the month's name
	char ordinal;     // the day's suffix, st, nd, rd or th: 0, 'a' or 'A' as its case
	bool padded;      // the day in two digits
	bool comma;       // a comma before the year
};

// A date that a link's label shows, as a whole word at its start (after
// "[" or "(" if any) or at its end (inside brackets or parentheses, or
// after a dash, a bar, a colon, a comma or a middle dot), a final "."
// allowed; and the label around it.
struct label_date {
	uint32_t date;  // YYYYMMDD, a day of the calendar; 0 for none
	bool at_end;
	date_style style;
	// At the start: before, the date, after, then the title; at the end:
	// the title, before, the date, after.
	span before, after, title;
};

// Reads the date that the label [s, e) shows into *d: d->date 0, when it
// shows none, d->before a word of punctuation that starts it, and d->title
// the rest, without its blanks.
void read_label_date(const char *s, const char *e, label_date *d);

// The first date in [s, e) written as numbers in another form than the
// ones read, as 03/03/2022 or 4.13.2023, where which is the month cannot
// be told; empty when there is none.
span find_numeric_date(const char *s, const char *e);

// Tells whether the word [s, e) is a weekday's name, in full or of three
// letters, in any case.
bool is_weekday(const char *s, const char *e);

// Tells whether the line [s, e) only dates its post: a date, and beside it
// nothing but a weekday, a time, a zone, words such as "Posted on" or
// "Updated", and punctuation.
bool is_date_line(const char *s, const char *e);

// A heading's year, and month if it has one: a month's name, or a month's
// number beside the year (2023-07), where they stand and how the month is
// written.
struct heading_date {
	int year, month;  // month 0 for a year alone
	bool day;         // it holds a whole date, a day of the calendar
	span year_text, month_text;
	date_style style;
};

// Reads the first run of exactly four digits in the heading [s, e), and a
// month beside it or anywhere as a name, into *h, and whether a whole date
// stands in it; returns false when it has no such year.
bool read_heading_date(const char *s, const char *e, heading_date *h);

// Writes the date YYYYMMDD to out as style writes it.
void write_date(FILE *out, uint32_t date, const date_style *style);

// Writes the month month of a heading as h writes its own.
void write_month(FILE *out, int month, const heading_date *h);

// Tells whether YYYYMMDD is a day of the Gregorian calendar, in the years 1
// to 9999.
bool is_calendar_date(uint32_t date);

// The YYYY-MM-DD at s as YYYYMMDD, its ten bytes being digits and dashes.
uint32_t read_iso_date(const char *s);

#endif

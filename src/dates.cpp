// SPDX-License-Identifier: ISC
// Dates as authors write them in their pages' labels and headings:
// 2024-03-25, 26 Oct 2021, 3rd March 2024, April 24th, 2023 or Nov 21 2021,
// with English month names in full or of three letters, in any case. A
// numeric date other than YYYY-MM-DD is none: 12-10-2022 could be either
// month.
#include "dates.h"

#include "core.h"

#include <ctype.h>
#include <string.h>

static const char *const months[] = {"january", "february", "march",     "april",   "may",      "june",
				     "july",    "august",   "september", "october", "november", "december"};

static bool is_letter(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static bool is_digit(const char *c, const char *e)
{
	return c < e && *c >= '0' && *c <= '9';
}

// Tells whether c may stand between a year and a month's number.
static bool is_date_dash(char c)
{
	return c == '-' || c == '/' || c == '.';
}

// Reads the run of at least min and at most max digits at s, not followed
// by another, into *n; returns its end, or nullptr.
static const char *read_number(const char *s, const char *e, int min, int max, int *n)
{
	const char *c = s;
	for (*n = 0; is_digit(c, e) && c - s < max; c++)
		*n = *n * 10 + (*c - '0');
	return c - s >= min && !is_digit(c, e) ? c : nullptr;
}

// Reads a month's name at s, a whole word, in full or of three letters, and
// a "." after it, into *month and *style; returns its end, or nullptr.
static const char *read_month(const char *s, const char *e, int *month, date_style *style)
{
	const char *c = s;
	while (c < e && is_letter(*c))
		c++;
	size_t len = c - s;
	for (int m = 0; m < 12 && len >= 3; m++) {
		size_t full = strlen(months[m]);
		if (len != 3 && len != full)
			continue;
		size_t i = 0;
		while (i < len && (s[i] | 0x20) == months[m][i])
			i++;
		if (i < len)
			continue;
		// Upper case only where every letter is: "JAnuary" is a capital.
		bool upper = true;
		for (size_t k = 1; k < len; k++)
			upper = upper && s[k] >= 'A' && s[k] <= 'Z';
		style->month_case = !(s[0] >= 'A' && s[0] <= 'Z') ? 'a' : upper ? 'U' : 'A';
		style->period = c < e && *c == '.';
		// May, in full and in three letters alike, is taken as in full.
		style->full_month = len == full && !(m == 4 && style->period);
		*month = m + 1;
		return c + style->period;
	}
	return nullptr;
}

// Reads a day at s, one or two digits and perhaps st, nd, rd or th, a whole
// word, into *day and *style; returns its end, or nullptr.
static const char *read_day(const char *s, const char *e, int *day, date_style *style)
{
	const char *c = read_number(s, e, 1, 2, day);
	if (!c)
		return nullptr;
	style->padded = c - s == 2 && *s == '0';
	style->ordinal = 0;
	static const char *const suffixes[] = {"st", "nd", "rd", "th"};
	for (const char *suffix : suffixes)
		if (e - c >= 2 && (c[0] | 0x20) == suffix[0] && (c[1] | 0x20) == suffix[1]) {
			style->ordinal = c[0] & 0x20 ? 'a' : 'A';
			c += 2;
			break;
		}
	return c < e && is_letter(*c) ? nullptr : c;
}

// Reads one or more blanks at s, and a comma before them with comma;
// returns their end, or nullptr.
static const char *read_gap(const char *s, const char *e, bool comma, bool *had_comma)
{
	*had_comma = comma && s < e && *s == ',';
	const char *c = skip_blanks(s + *had_comma, e);
	return c > s + *had_comma ? c : nullptr;
}

// Reads a date at s in one of the forms into *date, YYYYMMDD, and *style;
// returns its end, or nullptr when none starts there or it is no day of
// the calendar.
static const char *read_date(const char *s, const char *e, uint32_t *date, date_style *style)
{
	int year = 0, month = 0, day = 0;
	const char *c = nullptr;
	*style = {};
	bool unused;
	if (e - s >= 10 && s[4] == '-' && s[7] == '-' && read_number(s, s + 4, 4, 4, &year) &&
	    read_number(s + 5, s + 7, 2, 2, &month) && read_number(s + 8, e, 2, 2, &day)) {
		c = s + 10;
	} else if (is_digit(s, e)) {
		style->form = DAY_MONTH_YEAR;
		(c = read_day(s, e, &day, style)) && (c = read_gap(c, e, false, &unused)) && (c = read_month(c, e, &month, style)) &&
			(c = read_gap(c, e, true, &style->comma)) && (c = read_number(c, e, 4, 4, &year));
	} else {
		style->form = MONTH_DAY_YEAR;
		(c = read_month(s, e, &month, style)) && (c = read_gap(c, e, false, &unused)) && (c = read_day(c, e, &day, style)) &&
			(c = read_gap(c, e, true, &style->comma)) && (c = read_number(c, e, 4, 4, &year));
	}
	*date = (uint32_t)(year * 10000 + month * 100 + day);
	return c && is_calendar_date(*date) ? c : nullptr;
}

// Length of the separator ending at e, after s: a dash (-, en or em), a
// bar, a colon, a comma or a middle dot; 0 for none.
static size_t measure_end_separator(const char *s, const char *e)
{
	if (e > s && (e[-1] == '-' || e[-1] == '|' || e[-1] == ':' || e[-1] == ','))
		return 1;
	if (e - s >= 2 && memcmp(e - 2, "\u00b7", 2) == 0)
		return 2;
	if (e - s >= 3 && (memcmp(e - 3, "\u2013", 3) == 0 || memcmp(e - 3, "\u2014", 3) == 0))
		return 3;
	return 0;
}

// Length of the separator at s, before end: blanks, then perhaps a word of
// punctuation alone (a dash, a colon, a bar) followed by blanks.
static size_t measure_separator(const char *s, const char *end)
{
	const char *word = skip_blanks(s, end), *c = word;
	for (;;) {
		size_t n = c == end ? 0 : ispunct((unsigned char)*c) ? 1 :
			   end - c >= 3 && memcmp(c, "\u2013", 3) == 0 ? 3 :  // en dash
			   end - c >= 3 && memcmp(c, "\u2014", 3) == 0 ? 3 :  // em dash
			   end - c >= 3 && memcmp(c, "\u2022", 3) == 0 ? 3 :  // bullet
			   end - c >= 2 && memcmp(c, "\u00b7", 2) == 0 ? 2 : 0;  // middle dot
		if (n == 0)
			break;
		c += n;
	}
	if (c > word && c < end && is_blank(*c))
		return skip_blanks(c, end) - s;
	return word - s;
}

// The bracket that closes open.
static char closing(char open)
{
	return open == '[' ? ']' : ')';
}

// Reads a date at the end of the label [s, e), which ends in no blank,
// into *d, whose date is 0 where there is none.
static void read_end_date(const char *s, const char *e, label_date *d)
{
	const char *t = e - (e[-1] == '.');
	char close = t > s && (t[-1] == ')' || t[-1] == ']') ? t[-1] : 0;
	t -= close != 0;
	// The longest form, "September 30th, 2024", is 20 bytes.
	for (const char *i = t - (t - s < 32 ? t - s : 32); is_digit(t - 1, t) && i < t; i++) {
		const char *before = i;
		if (close ? i - s < 2 || i[-1] != (close == ')' ? '(' : '[') : i == s || !is_blank(i[-1]))
			continue;
		if (read_date(i, t, &d->date, &d->style) != t)
			continue;
		if (close) {
			before--;
		} else {
			while (before > s && is_blank(before[-1]))
				before--;
			size_t sep = measure_end_separator(s, before);
			if (sep == 0)
				continue;
			before -= sep;
		}
		while (before > s && is_blank(before[-1]))
			before--;
		*d = {d->date, true, d->style, {before, i}, {t, e}, {s, before}};
		return;
	}
	d->date = 0;
}

void read_label_date(const char *s, const char *e, label_date *d)
{
	while (e > s && (is_blank(e[-1]) || e[-1] == '\r'))
		e--;
	s = skip_blanks(s, e);
	*d = {};
	d->title = {s, e};
	if (s == e)
		return;
	const char *c = s + (*s == '[' || *s == '('), *date_end = read_date(c, e, &d->date, &d->style), *end = date_end;
	if (end && c > s)
		end = end < e && *end == closing(*s) ? end + 1 : nullptr;
	if (end && (end == e || !isalnum((unsigned char)*end))) {
		const char *title = end + measure_separator(end, e);
		*d = {d->date, false, d->style, {s, c}, {date_end, title}, {title, e}};
		return;
	}
	d->date = 0;
	read_end_date(s, e, d);
	if (d->date)
		return;
	// No date: a word of punctuation before the title, as in "— Title",
	// stays before it.
	const char *title = s + measure_separator(s, e);
	d->before = {s, title};
	d->title = {title, e};
}

span find_numeric_date(const char *s, const char *e)
{
	for (const char *c = s; c < e; c++) {
		if (!is_digit(c, e) || (c > s && is_digit(c - 1, e)))
			continue;
		// Three runs of digits, of 1 to 4, between two of the same mark.
		const char *at = c;
		int runs = 0, n;
		char mark = 0;
		for (const char *end; runs < 3 && (end = read_number(at, e, 1, 4, &n)); runs++) {
			at = end;
			if (runs < 2 && !(at < e && is_date_dash(*at) && (!mark || *at == mark)))
				break;
			mark = runs < 2 ? *at++ : mark;
		}
		if (runs == 3)
			return {c, at};
	}
	return {};
}

bool is_weekday(const char *s, const char *e)
{
	static const char *const days[] = {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};
	size_t len = e - s;
	for (const char *day : days) {
		size_t i = 0;
		while (i < len && day[i] && (s[i] | 0x20) == day[i])
			i++;
		if (i == len && (len == 3 || !day[i]))
			return true;
	}
	return false;
}

// Tells whether the word [s, e) may stand beside a date in a line that
// only dates its post: a weekday, a word that says what the date is, a
// time's number or a zone.
static bool is_date_word(const char *s, const char *e)
{
	static const char *const words[] = {"posted", "published", "updated", "written", "date", "dated", "created",
					    "modified", "last", "on", "at", "the", "am", "pm", "utc", "gmt"};
	// A number of a time or zone: 14, 0100, T14 or 18Z.
	const char *from = s + (*s == 'T'), *to = e - (e[-1] == 'Z'), *c = from;
	while (is_digit(c, to))
		c++;
	if (c == to && to > from && to - from <= 4)
		return true;
	size_t len = e - s;
	for (const char *word : words) {
		size_t i = 0;
		while (i < len && word[i] && (s[i] | 0x20) == word[i])
			i++;
		if (i == len && !word[i])
			return true;
	}
	bool zone = len >= 3 && len <= 4;
	for (const char *c = s; zone && c < e; c++)
		zone = *c >= 'A' && *c <= 'Z';
	return zone || is_weekday(s, e);
}

bool is_date_line(const char *s, const char *e)
{
	bool dated = false;
	for (const char *c = s; c < e;) {
		uint32_t date;
		date_style style;
		const char *end = !dated && isalnum((unsigned char)*c) ? read_date(c, e, &date, &style) : nullptr;
		if (end && (end == e || !isalnum((unsigned char)*end) || *end == 'T')) {
			dated = true;
			c = end;
			continue;
		}
		if ((unsigned char)*c >= 0x80)
			return false;
		if (!isalnum((unsigned char)*c)) {
			c++;
			continue;
		}
		const char *word = c;
		while (c < e && isalnum((unsigned char)*c))
			c++;
		if (!is_date_word(word, c))
			return false;
	}
	return dated;
}

bool read_heading_date(const char *s, const char *e, heading_date *h)
{
	*h = {};
	const char *year = nullptr;
	for (const char *c = s; c < e && !year;) {
		const char *run = c;
		while (is_digit(c, e))
			c++;
		if (c - run == 4)
			year = run;
		c += c == run;
	}
	if (!year)
		return false;
	// A date of the calendar at the start of a word, as in "## Thu, 28 Jul
	// 2022" or "## 2026-03-01".
	for (const char *c = s; c < e && !h->day; c++) {
		uint32_t date;
		date_style style;
		h->day = (c == s || !isalnum((unsigned char)c[-1])) && isalnum((unsigned char)*c) && read_date(c, e, &date, &style);
	}
	h->year = (year[0] - '0') * 1000 + (year[1] - '0') * 100 + (year[2] - '0') * 10 + (year[3] - '0');
	h->year_text = {year, year + 4};
	// A number beside the year, as in 2023-07 or 07/2023, but not a whole
	// date, as in 2023-07-15.
	const char *m = nullptr, *after = nullptr;
	int month = 0;
	if (e - year > 5 && is_date_dash(year[4]) && (after = read_number(year + 5, e, 1, 2, &month)) &&
	    !(e - after >= 2 && is_date_dash(*after) && is_digit(after + 1, e)))
		m = year + 5;
	if (!m && year - s >= 2 && is_date_dash(year[-1])) {
		const char *start = year - 1;
		while (start > s && year - 1 - start < 2 && is_digit(start - 1, year))
			start--;
		if (start < year - 1 && !(start > s && is_digit(start - 1, year)) && read_number(start, year - 1, 1, 2, &month))
			m = start, after = year - 1;
	}
	if (m && month >= 1 && month <= 12) {
		h->month = month;
		h->month_text = {m, after};
		h->style.padded = after - m == 2;
		return true;
	}
	for (const char *c = s; c < e; c++) {
		if (!is_letter(*c) || (c > s && is_letter(c[-1])))
			continue;
		const char *end = read_month(c, e, &h->month, &h->style);
		if (end) {
			h->style.form = DAY_MONTH_YEAR;
			h->month_text = {c, end};
			return true;
		}
	}
	h->month = 0;
	return true;
}

// Writes the name of the month month as style writes it.
static void write_month_name(FILE *out, int month, const date_style *style)
{
	const char *name = months[month - 1];
	size_t len = style->full_month ? strlen(name) : 3;
	for (size_t i = 0; i < len; i++)
		putc(style->month_case == 'U' || (i == 0 && style->month_case == 'A') ? name[i] - 'a' + 'A' : name[i], out);
	if (style->period)
		putc('.', out);
}

void write_date(FILE *out, uint32_t date, const date_style *style)
{
	int year = date / 10000, month = date / 100 % 100, day = date % 100;
	if (style->form == ISO_DATE) {
		fprintf(out, "%04d-%02d-%02d", year, month, day);
		return;
	}
	if (style->form == MONTH_DAY_YEAR) {
		write_month_name(out, month, style);
		putc(' ', out);
	}
	fprintf(out, style->padded ? "%02d" : "%d", day);
	if (style->ordinal) {
		// 1st, 2nd, 3rd, but 11th to 13th.
		int last = day % 10, index = day / 10 == 1 || last == 0 || last > 3 ? 3 : last - 1;
		static const char *const suffixes[] = {"st", "nd", "rd", "th"};
		for (const char *c = suffixes[index]; *c; c++)
			putc(style->ordinal == 'A' ? *c - 'a' + 'A' : *c, out);
	}
	if (style->form == DAY_MONTH_YEAR) {
		putc(' ', out);
		write_month_name(out, month, style);
	}
	fprintf(out, "%s %04d", style->comma ? "," : "", year);
}

void write_month(FILE *out, int month, const heading_date *h)
{
	if (h->style.form == ISO_DATE)
		fprintf(out, h->style.padded ? "%02d" : "%d", month);
	else
		write_month_name(out, month, &h->style);
}

bool is_calendar_date(uint32_t date)
{
	static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
	int year = date / 10000, month = date / 100 % 100, day = date % 100;
	bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
	return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
	       day <= days[month - 1] + (month == 2 && leap);
}

uint32_t read_iso_date(const char *s)
{
	uint32_t date = 0;
	for (int i = 0; i < 10; i++)
		date = i == 4 || i == 7 ? date : date * 10 + (s[i] - '0');
	return date;
}

// SPDX-License-Identifier: ISC
// The page: the author's index.gmi split around its list of entries, and the
// new page written in its place, laid out as the author laid out the old
// one: the text around the list byte for byte, the entries in sections
// under year headings if the list had them, and each line written the way
// the author writes them.
#include "page.h"

#include "core.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

static const char *skip_blanks(const char *s, const char *end)
{
	while (s < end && is_blank(*s))
		s++;
	return s;
}

// Where the line after the one at line starts, or end.
static const char *next_line(const char *line, const char *end)
{
	const char *line_end = (const char *)memchr(line, '\n', end - line);
	return line_end ? line_end + 1 : end;
}

// The line [s, e) without its line end, LF or CR LF.
static const char *strip_line_end(const char *s, const char *e)
{
	if (e > s && e[-1] == '\n')
		e--;
	return e > s && e[-1] == '\r' ? e - 1 : e;
}

// Tells whether the line [s, e) holds nothing but blanks and its end.
static bool is_blank_line(const char *s, const char *e)
{
	return skip_blanks(s, e) == strip_line_end(s, e);
}

// Tells whether the line [s, e) is a level-1 heading: "#" not followed
// by "#".
static bool is_level_1(const char *s, const char *e)
{
	return s < e && s[0] == '#' && (e - s == 1 || s[1] != '#');
}

// The target of the line [s, e) if it links to an entry: "=>", blanks,
// then a date; a link written "./2021-..." is the author's own.
static const char *find_target(const char *s, const char *e)
{
	if (e - s < 2 || s[0] != '=' || s[1] != '>')
		return nullptr;
	s = skip_blanks(s + 2, e);
	return starts_with_date(s, e - s) ? s : nullptr;
}

// The year of the heading line [s, e), its first run of exactly four
// digits, or nullptr.
static const char *find_year(const char *s, const char *e)
{
	if (s == e || *s != '#')
		return nullptr;
	for (const char *c = s; c < e;) {
		const char *run = c;
		while (c < e && isdigit((unsigned char)*c))
			c++;
		if (c - run == 4)
			return run;
		c += c == run;
	}
	return nullptr;
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

// Takes the way the first entry line [s, e), whose target is target, is
// written.
static void read_style(page *p, const char *s, const char *e, const char *target)
{
	const char *end = strip_line_end(s, e);
	p->line_end = end < e && *end == '\r' ? "\r\n" : "\n";
	p->gap1 = {s + 2, target};
	const char *c = target;
	while (c < end && !is_blank(*c))
		c++;
	const char *label = skip_blanks(c, end);
	p->gap2 = {c, label};
	p->shows_date = starts_with_date(label, end - label);
	if (p->shows_date)
		label += 10;
	p->gap3 = {label, label + measure_separator(label, end)};
	// quenlet writes "=>TARGET DATE", two spaces, and the title as it is.
	bool two_spaces = p->gap3.e - label >= 2 && label[0] == ' ' && label[1] == ' ';
	p->as_quenlet = label == end || (p->gap1.s == p->gap1.e && p->gap2.e - p->gap2.s == 1 && *p->gap2.s == ' ' &&
					 p->shows_date && two_spaces && skip_blanks(label, p->gap3.e) == p->gap3.e);
}

bool has_list(const page *p)
{
	return p->list.s < p->old.s + p->old.len;
}

// Orders old entry lines as the index is, newest first: by their targets'
// bytes, in reverse.
static int compare_newest_first(const void *a, const void *b)
{
	const span &x = ((const old_line *)b)->target, &y = ((const old_line *)a)->target;
	size_t xn = x.e - x.s, yn = y.e - y.s;
	int c = memcmp(x.s, y.s, xn < yn ? xn : yn);
	return c ? c : (xn > yn) - (xn < yn);
}

// Fills p's year headings and, unless quenlet writes the lines, its entry
// lines by target, from its list; returns false when memory runs out.
static bool index_list(page *p)
{
	p->sections = (section *)malloc(p->n_sections * sizeof *p->sections + 1);
	p->lines = p->as_quenlet ? nullptr : (old_line *)malloc(p->n_lines * sizeof *p->lines + 1);
	if (!p->sections || (!p->as_quenlet && !p->lines))
		return false;
	size_t sections = 0, lines = 0;
	for (const char *line = p->list.s, *next; line < p->list.e; line = next) {
		next = next_line(line, p->list.e);
		const char *target = find_target(line, next), *year = find_year(line, next);
		if (target && p->lines) {
			const char *end = strip_line_end(line, next), *t = target;
			while (t < end && !is_blank(*t))
				t++;
			// A last line with no line end, or only a CR, gets the page's.
			bool ended = next[-1] == '\n';
			p->lines[lines++] = {{line, end}, {target, t}, {ended ? end : next, next}};
		} else if (year && p->n_sections) {
			p->sections[sections++] = {{line, next}, year};
		}
	}
	// A list that gemlog-index wrote is in order already.
	for (size_t i = 1; p->lines && i < p->n_lines; i++) {
		if (compare_newest_first(&p->lines[i - 1], &p->lines[i]) > 0) {
			qsort(p->lines, p->n_lines, sizeof *p->lines, compare_newest_first);
			break;
		}
	}
	return true;
}

bool read_page(text old, page *p, size_t *bad)
{
	const char *end = old.s + old.len;
	*p = {};
	p->old = old;
	p->list = {end, end};
	// A year heading that waits for entries of its year below it, and the
	// first text since the last entry line, which no entry line may follow.
	span heading = {};
	const char *heading_year = nullptr, *last_entry = nullptr;
	size_t number = 0, heading_number = 0, text_number = 0;
	for (const char *line = old.s, *next; line < end; line = next) {
		next = next_line(line, end);
		number++;
		const char *target = find_target(line, next), *year = target ? nullptr : find_year(line, next);
		if (target) {
			bool heads = heading.s && memcmp(heading_year, target, 4) == 0;
			if (last_entry && (text_number || (heading.s && !heads))) {
				*bad = text_number ? text_number : heading_number;
				return false;
			}
			if (!last_entry) {
				p->list.s = heads ? heading.s : line;
				read_style(p, line, next, target);
				if (heading.s && !heads) {
					p->loose = {heading, heading_year};
					p->after_loose = {heading.e, line};
				}
			}
			if (heads && p->n_sections++ == 0)
				p->after_heading = {heading.e, line};
			else if (heads && p->n_sections == 2)
				p->between_sections = {last_entry, heading.s};
			else if (!heads && last_entry && !p->between_entries.s)
				p->between_entries = {last_entry, line};
			heading = {};
			last_entry = next;
			p->list.e = next;
			p->n_lines++;
		} else if (is_blank_line(line, next)) {
			continue;
		} else if (!last_entry) {
			// Before the list, the page's first line heads no section.
			heading = year && number > 1 ? span{line, next} : span{};
			heading_year = year;
		} else if (year && p->n_sections && !heading.s && !text_number) {
			heading = {line, next};
			heading_year = year;
			heading_number = number;
		} else if (!text_number) {
			text_number = heading.s ? heading_number : number;
			heading = {};
		}
	}
	if (!p->between_entries.s)
		p->between_entries = {end, end};
	if (!last_entry && heading.s) {
		// Blanks after the last line end, if any, are dropped.
		const char *whole = end;
		while (whole > heading.e && whole[-1] != '\n')
			whole--;
		p->loose = {heading, heading_year};
		p->after_loose = {heading.e, whole};
	}
	*bad = 0;
	return !has_list(p) || index_list(p);
}

void free_page(page *p)
{
	free(p->sections);
	free(p->lines);
}

// Writes to out the text [head, end) that comes before the entries, with
// title, if any, as its first line: in place of a level-1 heading there,
// keeping its line end, else on top with a blank line after it.
static void write_head(FILE *out, const char *head, const char *end, const char *title)
{
	const char *next = head < end ? next_line(head, end) : end;
	if (title && is_level_1(head, next)) {
		// The line's end is kept: "\r\n", "\n", or none at the end.
		head = strip_line_end(head, next);
		fprintf(out, "# %s", title);
	} else if (title) {
		fprintf(out, "# %s\n\n", title);
	}
	if (head < end)
		fwrite(head, 1, end - head, out);
}

// The line ends that put a blank line after the text [s, s + len): none
// after no text or a blank line.
static const char *end_with_blank_line(const char *s, size_t len)
{
	if (len == 0)
		return "";
	if (s[len - 1] != '\n')
		return "\n\n";
	size_t last = len - 1;
	while (last > 0 && s[last - 1] != '\n')
		last--;
	return is_blank_line(s + last, s + len) ? "" : "\n";
}

static void write_span(FILE *out, span s)
{
	fwrite(s.s, 1, s.e - s.s, out);
}

// Writes the heading of the section of the year at date: the old page's
// own, or its topmost with the year changed, ended as a line.
static void write_heading(FILE *out, const page *p, const char *date)
{
	const section *top = &p->sections[0];
	for (size_t i = 0; i < p->n_sections; i++) {
		if (memcmp(p->sections[i].year, date, 4) == 0)
			top = &p->sections[i];
	}
	fwrite(top->heading.s, 1, top->year - top->heading.s, out);
	fwrite(date, 1, 4, out);
	write_span(out, {top->year + 4, top->heading.e});
	if (top->heading.e[-1] != '\n')
		fputs(p->line_end, out);
}

// The old line whose target is e's, if it shows e: the same title and, if
// it shows a date, e's, with nothing but a separator before the title. The
// entries come newest first, as the old lines are sorted, and *next, the
// first old line that no entry has passed yet, moves on with them.
static const old_line *find_old_line(const page *p, const link_parts *e, size_t *next)
{
	old_line key = {};
	key.target = {e->target, e->target + e->target_len};
	while (*next < p->n_lines && compare_newest_first(&p->lines[*next], &key) < 0)
		++*next;
	if (*next == p->n_lines || compare_newest_first(&p->lines[*next], &key) != 0)
		return nullptr;
	const old_line *old = &p->lines[*next];
	const char *label = skip_blanks(old->target.e, old->line.e), *end = old->line.e;
	while (end > label && is_blank(end[-1]))
		end--;
	if (starts_with_date(label, end - label)) {
		if (memcmp(label, e->date, 10) != 0)
			return nullptr;
		label += 10;
	}
	size_t len = end - label;
	if (len < e->title_len || memcmp(end - e->title_len, e->title, e->title_len) != 0)
		return nullptr;
	size_t gap = len - e->title_len;
	return measure_separator(label, label + gap) == gap ? old : nullptr;
}

// Writes the entry line of the index line [line, line + len), parts e, as
// the old page's list has it or writes its lines.
static void write_entry(FILE *out, const page *p, const char *line, size_t len, const link_parts *e, size_t *next_old)
{
	if (p->as_quenlet) {
		fwrite(line, 1, len, out);
		putc('\n', out);
		return;
	}
	if (const old_line *old = find_old_line(p, e, next_old)) {
		write_span(out, old->line);
		fputs(old->end.s < old->end.e ? "" : p->line_end, out);
		return write_span(out, old->end);
	}
	fputs("=>", out);
	write_span(out, p->gap1);
	fwrite(e->target, 1, e->target_len, out);
	write_span(out, p->gap2);
	if (p->shows_date)
		fwrite(e->date, 1, 10, out);
	write_span(out, p->gap3);
	fwrite(e->title, 1, e->title_len, out);
	fputs(p->line_end, out);
}

void write_page(FILE *out, const page *p, char *const *lines, size_t n, const char *title)
{
	// A year heading right above a list of another year, or that ends a
	// page without a list, heads the new list's first section if that is
	// of its year, as it would on the next run: the page is written as one
	// in sections.
	if (p->loose.year && n > 0 && memcmp(p->loose.year, split_link(lines[0], strlen(lines[0])).date, 4) == 0) {
		page q = *p;
		section top = p->loose;
		if (!has_list(p)) {
			q.list.e = p->old.s + p->old.len;
			q.as_quenlet = true;
			q.line_end = "\n";
		}
		q.list.s = top.heading.s;
		q.sections = &top;
		q.n_sections = 1;
		q.after_heading = p->after_loose;
		q.loose = {};
		return write_page(out, &q, lines, n, title);
	}
	const char *end = p->old.s + p->old.len;
	write_head(out, p->old.s, p->list.s, title);
	if (!has_list(p)) {
		if (n > 0)
			fputs(end_with_blank_line(p->old.s, p->old.len), out);
		for (size_t i = 0; i < n; i++) {
			fputs(lines[i], out);
			putc('\n', out);
		}
		return;
	}
	const char *year = nullptr;
	size_t next_old = 0;
	for (size_t i = 0; i < n; i++) {
		size_t len = strlen(lines[i]);
		link_parts e = split_link(lines[i], len);
		if (p->n_sections && (!year || memcmp(year, e.date, 4) != 0)) {
			if (year && p->n_sections == 1)
				fputs(p->line_end, out);
			else if (year)
				write_span(out, p->between_sections);
			write_heading(out, p, e.date);
			write_span(out, p->after_heading);
			year = e.date;
		} else if (i > 0) {
			write_span(out, p->between_entries);
		}
		write_entry(out, p, lines[i], len, &e, &next_old);
	}
	write_span(out, {p->list.e, end});
}

const char *find_title(text t, size_t *len)
{
	const char *end = t.s + t.len;
	for (const char *line = t.s, *next; line < end; line = next) {
		next = next_line(line, end);
		if (is_level_1(line, next)) {
			const char *s = skip_blanks(line + 1, next), *e = strip_line_end(s, next);
			while (e > s && is_blank(e[-1]))
				e--;
			*len = e - s;
			return s;
		}
	}
	return nullptr;
}

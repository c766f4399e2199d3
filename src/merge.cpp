// SPDX-License-Identifier: ISC
// The journal merged into the page, from the records of its one reading.
// The new page is the old one's lines, byte for byte and in place, but for
// the entry lines of names gone from the folder and the section headings
// left with no line of their own, which go with the blank lines that went
// with them; and for lines in quenlet's own format, which follow the
// heading. Each entry that no entry line links gets one, in the way of the
// first list line, right above the first list line dated earlier, under
// its year's or month's heading where the page has them (a new one, copied
// from the topmost, where it has none), or after the last one.
#include "page.h"

#include "core.h"

#include <stdlib.h>
#include <string.h>

constexpr size_t NONE = (size_t)-1;

static bool is_list(unsigned k)
{
	return k >= ENTRY_LINE && k <= DATED_LINE;
}

static bool is_kept(unsigned k)
{
	return is_list(k) && k != GONE_LINE;
}

static bool is_heading(unsigned k)
{
	return k == YEAR_HEADING || k == MONTH_HEADING;
}

// Tells whether k is a year's or month's heading, of a section or the
// author's.
static bool is_any_heading(unsigned k)
{
	return is_heading(k) || k == LOOSE_HEADING;
}

// The date of the list record r, YYYYMMDD.
static uint32_t date_of(const page *p, const record &r)
{
	return r.k == ENTRY_LINE || r.k == OWN_LINE ? p->entry_dates[r.key] : r.key;
}

// Tells whether the kept list record r stands below the new entry i in the
// list: it is dated earlier, or is a dated line of the same day.
static bool is_older(const page *p, const record &r, size_t i)
{
	return r.k == DATED_LINE ? r.key <= p->entry_dates[i] : r.key > i;
}

// Tells whether the heading record h, of a section or not, heads lines of
// the date date.
static bool heads(const record &h, uint32_t date)
{
	return h.key % 10000 == 0 ? h.key / 10000 == date / 10000 : h.key / 100 == date / 100;
}

// Tells whether the heading record h is of a year or month before the
// date date's.
static bool is_before(const record &h, uint32_t date)
{
	return !heads(h, date) && h.key < date;
}

// The heading of the year, with month 0, or of the month of the date
// date, as a record's index, or NONE.
static size_t find_heading(const page *p, uint32_t date, bool month)
{
	uint32_t h = p->heading[date / 10000 * 13 + (month ? date / 100 % 100 : 0)];
	return h ? h - 1 : NONE;
}

// Tells whether the section heading m heads a kept list line of its
// section below it, before the next heading of its level, or a year's of
// another year.
static bool heads_kept(const page *p, size_t m)
{
	const record &h = p->records[m];
	for (size_t k = m + 1; k < p->n_records; k++) {
		const record &r = p->records[k];
		if (r.k == YEAR_HEADING ? h.k == YEAR_HEADING || r.key / 10000 != h.key / 10000 :
		    r.k == MONTH_HEADING && h.k == MONTH_HEADING)
			return false;
		if (is_kept(r.k) && heads(h, date_of(p, r)))
			return true;
	}
	return false;
}

// Marks each section heading that would head no line of its own in the
// new page, since every line it headed is gone: the next line below it, a
// new one or the next kept old one, is of another section, or under a new
// heading. The anchor, which headed none, is the author's.
static void mark_emptied(page *p)
{
	size_t j = 0, next = 0;
	for (size_t m = 0; m < p->n_records; m++) {
		record &h = p->records[m];
		if (!is_heading(h.k) || m == p->anchor || heads_kept(p, m))
			continue;
		while (j < p->n_new && p->slots[j].pos < 2 * m + 1)
			j++;
		for (next = next > m ? next : m + 1; next < p->n_records && !is_kept(p->records[next].k);)
			next++;
		bool headed;
		if (j < p->n_new && p->slots[j].pos <= 2 * next)
			headed = !(p->slots[j].opens & (h.k == YEAR_HEADING ? 1 : 3)) && heads(h, p->entry_dates[p->slots[j].entry]);
		else
			headed = next < p->n_records && heads(h, date_of(p, p->records[next]));
		if (!headed)
			h.k = EMPTIED;
	}
}

// The offset in the old page where a line placed at pos is written.
static uint32_t find_place(const page *p, uint32_t pos)
{
	size_t m = pos / 2;
	const char *end = p->old.s + p->old.len;
	if (m >= p->n_records)
		return (uint32_t)p->old.len;
	const char *line = p->old.s + p->records[m].at;
	return (uint32_t)((pos % 2 ? next_line(line, end) : line) - p->old.s);
}

// Orders the old lines' items newest first, and as the page has them for a
// date.
static int compare_items(const void *a, const void *b)
{
	const item *x = (const item *)a, *y = (const item *)b;
	if (x->date != y->date)
		return x->date > y->date ? -1 : 1;
	return (x->ref > y->ref) - (x->ref < y->ref);
}

// A new line's item, as it is ordered among the others.
struct new_item {
	uint32_t date, at, entry, slot;
};

// Orders new lines' items newest first, then as they stand in the page,
// then as the entries come.
static int compare_new(const void *a, const void *b)
{
	const new_item *x = (const new_item *)a, *y = (const new_item *)b;
	if (x->date != y->date)
		return x->date > y->date ? -1 : 1;
	if (x->at != y->at)
		return x->at < y->at ? -1 : 1;
	return (x->entry > y->entry) - (x->entry < y->entry);
}

// Adds the new lines to the items of the old ones, in order: newest first,
// and for a date as they stand in the new page, a new line before the old
// one it stands right above.
static bool list_new(page *p)
{
	item *all = (item *)realloc(p->items, (p->n_items + p->n_new + 1) * sizeof *p->items);
	new_item *added = (new_item *)malloc((p->n_new + 1) * sizeof *added);
	if (all)
		p->items = all;
	if (!all || !added) {
		free(added);
		return false;
	}
	for (uint32_t j = 0; j < p->n_new; j++) {
		uint32_t i = p->slots[j].entry;
		added[j] = {p->entry_dates[i], find_place(p, p->slots[j].pos), i, j};
	}
	qsort(p->items, p->n_items, sizeof *p->items, compare_items);
	qsort(added, p->n_new, sizeof *added, compare_new);
	// Merged from the end, the later of the two last first.
	size_t old = p->n_items, k = p->n_items + p->n_new;
	for (size_t j = p->n_new; j > 0;) {
		const item *o = old ? &p->items[old - 1] : nullptr;
		if (o && (o->date < added[j - 1].date || (o->date == added[j - 1].date && p->records[o->ref].at >= added[j - 1].at)))
			p->items[--k] = p->items[--old];
		else
			p->items[--k] = {added[j - 1].date, NEW_ITEM | added[--j].slot};
	}
	p->n_items += p->n_new;
	free(added);
	return true;
}

bool may_write_date(const page *p, uint32_t date)
{
	const label_date &d = p->style.date;
	bool names = p->top[1] != NONE || (!p->style.as_quenlet && d.date && d.style.form != ISO_DATE);
	return !names || is_calendar_date(date);
}

// Tells whether the entry i gets a new line: it has a heading, no entry
// line links it, and its date can be written in the page's way.
static bool is_new(const page *p, size_t i)
{
	return p->entries[i].head && !p->linked[i] && may_write_date(p, p->entry_dates[i]);
}

// What placing the new lines, one after another, carries from one to the
// next.
struct placing {
	bool sections, months;
	uint32_t unit;       // a section's dates, divided by it, are the same
	uint32_t end;        // the place after the last list line, or the anchor
	size_t first_list;   // the first list record
	uint32_t prev;       // the place of the line before
	uint32_t made[2];    // the year and month of the headings made last
	size_t c, last_kept, run, first, first_of;
};

// The new headings that a line of the date date opens where its section has
// none (1 a year's, 2 a month's), or 0 where the line before opened them.
static uint8_t find_opens(const page *p, placing *s, uint32_t date)
{
	uint8_t opens = (p->top[0] != NONE && find_heading(p, date, false) == NONE && s->made[0] != date / 10000) |
			(s->months && s->made[1] != date / 100) << 1;
	s->made[0] = opens & 1 ? date / 10000 : s->made[0];
	s->made[1] = opens & 2 ? date / 100 : s->made[1];
	return opens;
}

// The first list record below the section heading h.
static size_t find_first_of(const page *p, placing *s, size_t h)
{
	if (s->first_of != h) {
		for (s->first = h + 1; s->first < p->n_records && !is_list(p->records[s->first].k);)
			s->first++;
		s->first_of = h;
	}
	return s->first;
}

// Where the new entry i's line goes in a list that runs newest first: right
// above the first kept list line dated earlier, c; where the page has
// section headings and that line is of another section, in its section (at
// its end when it stands above c, on a page out of order above its first
// line, and right under a heading of its own that heads no list line), or,
// when its section has no heading, under new ones right above the headings
// over c that are of earlier years or months; after the last list line
// when none is dated earlier.
static uint32_t place_newest_first(const page *p, placing *s, size_t i, uint8_t *opens)
{
	uint32_t date = p->entry_dates[i];
	// The anchor stands in the list as its section's date does.
	for (; s->c < p->n_records; s->c++) {
		const record &r = p->records[s->c];
		if ((is_kept(r.k) && is_older(p, r, i)) || (s->c == p->anchor && r.key / s->unit < date / s->unit))
			break;
		s->last_kept = is_kept(r.k) ? s->c : s->last_kept;
		s->run = is_any_heading(r.k) ? (s->run == NONE ? s->c : s->run) : NONE;
	}
	size_t c = s->c, near = c < p->n_records ? c : s->last_kept, h = find_heading(p, date, s->months);
	*opens = 0;
	if (!s->sections || (near != NONE && date_of(p, p->records[near]) / s->unit == date / s->unit))
		return c < p->n_records ? 2 * c : s->end;
	if (h != NONE && p->records[h].k == LOOSE_HEADING)
		return 2 * h + 1;
	if (h != NONE && h < c && s->last_kept != NONE && s->last_kept > h)
		return 2 * s->last_kept + 1;
	// A section with no kept line above c, or one below it on a page out of
	// order: above its first list line.
	if (h != NONE)
		return find_first_of(p, s, h) < p->n_records ? 2 * s->first : s->end;
	if (!(*opens = find_opens(p, s, date)))
		return s->prev;  // under the headings made for the entry before
	if (c == p->n_records)
		return s->end;
	size_t top = c;
	while (s->run != NONE && top > s->run && is_before(p->records[top - 1], date))
		top--;
	return 2 * top;
}

// Where the new entry i's line goes in a list that runs oldest first: right
// below the last kept list line dated no later, c, or above the first list
// line when none is; where the page has section headings and c is of
// another section, above the first list line of its section, or, when its
// section has no heading, under new ones right below c, or above the first
// list line's headings.
static uint32_t place_oldest_first(const page *p, placing *s, size_t i, uint8_t *opens)
{
	uint32_t date = p->entry_dates[i];
	for (; s->c < p->n_records; s->c++) {
		const record &r = p->records[s->c];
		if (is_kept(r.k) && !is_older(p, r, i))
			break;
		s->last_kept = is_kept(r.k) ? s->c : s->last_kept;
	}
	size_t near = s->last_kept, h = find_heading(p, date, s->months);
	*opens = 0;
	if (s->sections && (near == NONE || date_of(p, p->records[near]) / s->unit != date / s->unit)) {
		if (h != NONE)
			return p->records[h].k == LOOSE_HEADING ? 2 * h + 1 :
			       find_first_of(p, s, h) < p->n_records ? 2 * s->first : s->end;
		if (!(*opens = find_opens(p, s, date)))
			return s->prev;
		if (near == NONE) {
			size_t top = s->first_list;
			while (top > 0 && is_any_heading(p->records[top - 1].k))
				top--;
			return 2 * top;
		}
	}
	return near != NONE ? 2 * near + 1 : 2 * s->first_list;
}

// Tells whether the kept lines of p's list run oldest first: their dates
// never fall, and rise at least once.
static bool runs_oldest_first(const page *p)
{
	bool rose = false;
	uint32_t last = 0;
	for (size_t m = 0; m < p->n_records; m++) {
		if (!is_kept(p->records[m].k))
			continue;
		uint32_t date = date_of(p, p->records[m]);
		if (date < last)
			return false;
		rose = rose || (last && date > last);
		last = date;
	}
	return rose;
}

// Places each new entry's line as its list's order has it: newest first,
// or oldest first, each entry in that order; never above a line placed
// before it. Returns false when memory runs out.
bool merge_entries(page *p)
{
	size_t n = 0;
	for (size_t i = 0; i < p->n_entries; i++)
		n += is_new(p, i);
	p->slots = (slot *)malloc(n * sizeof *p->slots + 1);
	if (!p->slots)
		return false;
	placing s = {};
	s.months = p->top[1] != NONE;
	s.sections = s.months || p->top[0] != NONE;
	s.unit = s.months ? 100 : 10000;
	s.made[0] = s.made[1] = ~0u;
	s.last_kept = s.run = s.first_of = NONE;
	size_t last = NONE;  // the last list record, or else the anchor
	s.first_list = p->n_records;
	for (size_t m = p->n_records; m-- > 0;)
		if (is_list(p->records[m].k)) {
			last = last == NONE ? m : last;
			s.first_list = m;
		}
	last = last == NONE ? p->anchor : last;
	s.end = last == NONE ? 2 * p->n_records : 2 * last + 1;
	bool oldest_first = runs_oldest_first(p);
	for (size_t k = 0; k < p->n_entries; k++) {
		size_t i = oldest_first ? p->n_entries - 1 - k : k;
		if (!is_new(p, i))
			continue;
		uint8_t opens;
		uint32_t pos = oldest_first ? place_oldest_first(p, &s, i, &opens) : place_newest_first(p, &s, i, &opens);
		s.prev = pos < s.prev ? s.prev : pos;
		p->slots[p->n_new++] = {s.prev, (uint32_t)i, opens};
	}
	mark_emptied(p);
	return !p->items || list_new(p);
}

bool loses_list(const page *p)
{
	for (size_t m = 0; m < p->n_records; m++)
		if (is_kept(p->records[m].k))
			return false;
	return p->listed > 0 && p->n_new == 0;
}

// The new page as it is written: where the old text is written to, and what
// the last thing written was.
struct writer {
	FILE *out;
	const page *p;
	const char *at;   // the old text not yet written
	bool list_last;   // a list line, with nothing after it
	bool new_last;    // a new list line
	bool blank_last;  // a blank line
	bool mid_line;    // an old last line with no line end
	bool dropping;    // blank lines are dropped, after a line removed, until another line
};

// Writes the span s to out; an empty one may have no bytes at all.
static void write_span(FILE *out, span s)
{
	if (s.e > s.s)
		fwrite(s.s, 1, length(s), out);
}

static void put(writer *w, const char *s, size_t len)
{
	write_span(w->out, {s, s + len});
}

static void put_span(writer *w, span s)
{
	write_span(w->out, s);
}

// Writes the old text from w->at to upto, blank lines first dropped when
// a line before was removed.
static void copy_text(writer *w, const char *upto)
{
	const char *s = w->at;
	for (const char *next; w->dropping && s < upto && is_blank_line(s, next = next_line(s, upto));)
		s = next;
	w->at = upto;
	if (s == upto)
		return;
	put(w, s, upto - s);
	const char *last = upto - 1;
	while (last > s && last[-1] != '\n')
		last--;
	w->blank_last = is_blank_line(last, upto);
	w->mid_line = upto[-1] != '\n';
	w->list_last = w->new_last = w->dropping = false;
}

// Ends an old last line with no line end, before a line written after it:
// with the page's line end, or only the LF of a CR LF whose CR the file's
// last byte is.
static void end_line(writer *w)
{
	if (w->mid_line)
		fputs(w->at[-1] == '\r' ? "\n" : w->p->style.line_end, w->out);
	w->mid_line = false;
}

// Writes the blank lines between two sections.
static void separate_sections(writer *w)
{
	if (w->p->between_sections.s)
		put_span(w, w->p->between_sections);
	else
		fputs(w->p->style.line_end, w->out);
}

// Writes a heading for the new section of level (0 a year's, 1 a month's)
// of the date date: the topmost heading of that level with its year and
// month changed, and the blank lines under it.
static void open_section(writer *w, uint32_t date, int level)
{
	const page *p = w->p;
	const heading_date &h = p->top_date[level];
	const char *line = p->old.s + p->records[p->top[level]].at;
	const char *e = strip_line_end(line, next_line(line, p->old.s + p->old.len));
	// The year and the month, in the order they stand.
	span parts[2] = {h.year_text, h.month_text};
	bool month_first = level == 1 && h.month_text.s < h.year_text.s;
	const char *at = line;
	for (int k = 0; k < 1 + level; k++) {
		span part = parts[month_first ? 1 - k : k];
		put(w, at, part.s - at);
		if (part.s == h.year_text.s)
			fprintf(w->out, "%04u", date / 10000);
		else
			write_month(w->out, date / 100 % 100, &h);
		at = part.e;
	}
	put(w, at, e - at);
	fputs(p->style.line_end, w->out);
	put_span(w, p->after_heading);
}

// Writes the new sections' headings that a new line at date opens.
static void open_sections(writer *w, uint32_t date, uint8_t opens)
{
	end_line(w);
	if (w->list_last)
		separate_sections(w);
	for (int level = 0; level < 2; level++)
		if (opens & 1 << level)
			open_section(w, date, level);
	w->list_last = w->new_last = w->dropping = false;
	w->blank_last = length(w->p->after_heading) > 0;
}

// Writes the line of the entry e as quenlet writes it, but for a carriage
// return that ends its title, and the page's line end.
static void write_quenlet_line(FILE *out, const entry *e, const char *line_end)
{
	const char *title = e->head + 1;
	size_t len = measure_title(e->head, e->n);
	len -= len > 0 && title[len - 1] == '\r';
	fputs("=>", out);
	write_target(out, e->name, false);
	fprintf(out, " %.10s  ", e->name);
	fwrite(title, 1, len, out);
	fputs(line_end, out);
}

// Writes the part of the line of the entry i, as p writes new lines, that
// stands before its title (after false) or after it.
static void write_around_title(FILE *out, const page *p, size_t i, bool after)
{
	const line_style &s = p->style;
	const label_date &d = s.date;
	if (!after) {
		fputs("=>", out);
		write_span(out, s.gap1);
		write_span(out, s.prefix);
		write_target(out, p->entries[i].name, false);
		write_span(out, s.gap2);
	}
	if (d.date && d.at_end == after) {
		write_span(out, d.before);
		write_date(out, p->entry_dates[i], &d.style);
		write_span(out, d.after);
		if (!after && length(d.title) == 0 && length(d.after) == 0)
			putc(' ', out);  // the first line shows its date alone
	}
	if (!after && !d.date)
		write_span(out, d.before);
}

void write_new_line(FILE *out, const page *p, size_t i)
{
	if (p->style.as_quenlet)
		return write_quenlet_line(out, &p->entries[i], "");
	write_around_title(out, p, i, false);
	write_span(out, read_heading(&p->entries[i]));
	write_around_title(out, p, i, true);
}

// Tells whether the line [s, e) is the entry i's as p writes new lines, but
// for its title, which neither holds the entry's heading nor is part of
// it: that title in *title. The parts around the title are written to out, a
// stream that holds *made, which is rewound.
static bool read_old_title(const page *p, size_t i, const char *s, const char *e, FILE *out, char **made, span *title)
{
	// Most lines show their heading, past "=>" and the target.
	span heading = read_heading(&p->entries[i]);
	const char *label = skip_blanks(s + 2, e);
	while (label < e && !is_blank(*label))
		label++;
	if (memmem(label, e - label, heading.s, length(heading)))
		return false;
	rewind(out);
	write_around_title(out, p, i, false);
	long before = ftell(out);
	write_around_title(out, p, i, true);
	long after = ftell(out) - before;
	if (fflush(out) != 0 || before < 0 || after < 0 || e - s <= before + after || memcmp(s, *made, before) != 0 ||
	    memcmp(e - after, *made + before, after) != 0)
		return false;
	*title = {skip_blanks(s + before, e - after), e - after};
	while (length(*title) > 0 && is_blank(title->e[-1]))
		title->e--;
	// A title that the heading holds is the heading shortened, as a date
	// or a series' name left out; a heading of a date alone is no title.
	label_date d;
	read_label_date(heading.s, heading.e, &d);
	return !(d.date && length(d.title) == 0) && !memmem(heading.s, length(heading), title->s, length(*title));
}

void list_retitled(const page *p, void (*say)(const retitled *r, void *context), void *context)
{
	if (p->style.as_quenlet)
		return;
	// One stream for every line: a stream a line would cost as much as
	// the rest of the run.
	char *made = nullptr;
	size_t size = 0;
	FILE *out = open_memstream(&made, &size);
	const char *at = p->old.s, *end = p->old.s + p->old.len;
	size_t number = 1;
	for (size_t m = 0; out && m < p->n_records; m++) {
		const record &r = p->records[m];
		const char *line = p->old.s + r.at, *e = strip_line_end(line, next_line(line, end));
		retitled t = {0, r.key, {}};
		if (r.k != ENTRY_LINE || !p->entries[r.key].head || !read_old_title(p, r.key, line, e, out, &made, &t.title))
			continue;
		for (; (at = (const char *)memchr(at, '\n', line - at)); at++)
			number++;
		at = line;
		t.number = number;
		say(&t, context);
	}
	if (out)
		fclose(out);
	free(made);
}

// Writes the line of the new entry i, in the page's way.
static void write_new(writer *w, size_t i)
{
	const page *p = w->p;
	end_line(w);
	if (w->list_last)
		put_span(w, p->between_entries);
	write_new_line(w->out, p, i);
	fputs(p->style.line_end, w->out);
	w->list_last = w->new_last = true;
	w->blank_last = w->dropping = false;
}

// Starts the list of a page that had none: after a blank line, unless the
// page is empty or ends with one, and a preformatted block left open
// closed, so that clients show the list as links.
static void start_list(writer *w)
{
	const page *p = w->p;
	const char *s = p->old.s, *end = s + p->old.len, *last = end - (s < end);
	while (last > s && last[-1] != '\n')
		last--;
	if (s != end && end[-1] != '\n')
		fputs(end[-1] == '\r' ? "\n" : p->style.line_end, w->out);
	if (p->open_block)
		fprintf(w->out, "```%s", p->style.line_end);
	if (s != end && (p->open_block || !is_blank_line(last, end)))
		fputs(p->style.line_end, w->out);
	w->mid_line = false;
}

// Writes the blank lines under the anchor, the heading that a page with
// no list takes it under, before the list; and after the list, where text
// follows, the blank lines under the topmost heading.
static void take_anchor(writer *w, bool after)
{
	const page *p = w->p;
	const char *end = p->old.s + p->old.len, *c = w->at;
	for (const char *next; c < end && is_blank_line(c, next = next_line(c, end));)
		c = next;
	if (!after)
		copy_text(w, c);
	else if (c < end)
		length(p->after_heading) ? put_span(w, p->after_heading) : (void)fputs(p->style.line_end, w->out);
}

// Writes the new entries placed at pos, *next the first of them.
static void place_new(writer *w, size_t *next, uint32_t pos)
{
	const page *p = w->p;
	size_t j = *next;
	if (j == p->n_new || p->slots[j].pos != pos)
		return;
	bool anchored = p->anchor != NONE && pos == 2 * p->anchor + 1, opened = false;
	if (anchored)
		take_anchor(w, false);
	else if (pos == 2 * p->n_records && p->top[0] == NONE && p->top[1] == NONE)
		start_list(w);
	for (; j < p->n_new && p->slots[j].pos == pos; j++) {
		uint32_t i = p->slots[j].entry;
		if (p->slots[j].opens) {
			open_sections(w, p->entry_dates[i], p->slots[j].opens);
			opened = true;
		}
		write_new(w, i);
	}
	if (anchored)
		take_anchor(w, true);
	// A section opened right above an old line is closed before it.
	if (opened && pos % 2 == 0 && pos < 2 * p->n_records) {
		separate_sections(w);
		w->list_last = w->new_last = false;
	}
	*next = j;
}

// Writes the old line of the record m as its kind says: kept, written
// anew from its entry's heading, or removed.
static void write_record(writer *w, size_t m)
{
	const page *p = w->p;
	const record &r = p->records[m];
	const char *line = p->old.s + r.at, *end = next_line(line, p->old.s + p->old.len);
	if (r.k == GONE_LINE || r.k == EMPTIED) {
		// A heading's blank lines go with it.
		w->blank_last = w->blank_last || r.k == EMPTIED;
		w->dropping = w->blank_last;
		w->at = end;
		return;
	}
	if (is_any_heading(r.k))
		return copy_text(w, end);
	if (w->new_last)
		put_span(w, p->between_entries);
	if (r.k == OWN_LINE)
		write_quenlet_line(w->out, &p->entries[r.key], p->style.line_end);
	else
		put(w, line, end - line);
	w->at = end;
	w->mid_line = end[-1] != '\n' && r.k != OWN_LINE;
	w->list_last = true;
	w->new_last = w->blank_last = w->dropping = false;
}

// Writes title, if any, as the page's first line: in place of a level-1
// heading there, keeping its line end, else on top with a blank line after
// it.
static void write_head(writer *w, const char *title)
{
	if (!title)
		return;
	const char *s = w->p->old.s, *end = s + w->p->old.len, *next = s < end ? next_line(s, end) : end;
	if (s < next && s[0] == '#' && (next - s == 1 || s[1] != '#')) {
		fprintf(w->out, "# %s", title);
		w->at = strip_line_end(s, next);
	} else {
		fprintf(w->out, "# %s\n\n", title);
		w->blank_last = true;
	}
}

void write_page(FILE *out, const page *p, const char *title)
{
	writer w = {out, p, p->old.s, false, false, true, false, false};
	write_head(&w, title);
	size_t next = 0;
	for (size_t m = 0;; m++) {
		copy_text(&w, m < p->n_records ? p->old.s + p->records[m].at : p->old.s + p->old.len);
		place_new(&w, &next, 2 * m);
		if (m == p->n_records)
			break;
		write_record(&w, m);
		place_new(&w, &next, 2 * m + 1);
	}
}

void list_removals(const page *p, void (*say)(const removal *r, void *context), void *context)
{
	const char *at = p->old.s, *end = p->old.s + p->old.len;
	size_t number = 1;
	for (size_t m = 0; m < p->n_records; m++) {
		const record &r = p->records[m];
		if (r.k != GONE_LINE && r.k != EMPTIED)
			continue;
		const char *line = p->old.s + r.at, *e = strip_line_end(line, next_line(line, end));
		for (; (at = (const char *)memchr(at, '\n', line - at)); at++)
			number++;
		at = line;
		removal gone = {number, {line, e}, r.k == EMPTIED};
		if (!gone.heading) {
			// The target: after "=>" and blanks, up to a blank.
			const char *s = line + 2;
			while (s < e && is_blank(*s))
				s++;
			const char *t = s;
			while (t < e && !is_blank(*t))
				t++;
			gone.what = {s, t};
		}
		say(&gone, context);
	}
}

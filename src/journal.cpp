// SPDX-License-Identifier: ISC
// The journal kept: each entry's name and title line as the walk hands them,
// and what the feed shows of it, its first paragraph of prose and its text,
// read once.
#include "journal.h"

#include "core.h"
#include "dates.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

// Adds the len bytes at s to j's block; returns their offset, or SIZE_MAX
// when memory runs out.
static size_t add_bytes(journal *j, const char *s, size_t len)
{
	size_t at = j->block.len;
	if (!make_room(&j->block.s, &j->block_room, at + len, 1)) {
		j->starved = true;
		return SIZE_MAX;
	}
	memcpy(j->block.s + at, s, len);
	j->block.len += len;
	return at;
}

void keep_name(const char *name, void *context)
{
	journal *j = (journal *)context;
	size_t at = add_bytes(j, name, strlen(name) + 1);
	if (at == SIZE_MAX || !make_room(&j->names, &j->names_room, j->n_names + 1, sizeof *j->names))
		j->starved = true;
	else
		j->names[j->n_names++] = at;
}

// The date of the entry kept at i, YYYYMMDD.
static uint32_t date_kept(const journal *j, size_t i)
{
	return read_iso_date(j->block.s + j->kept[i].name);
}

static void free_content(journal *j, size_t i)
{
	free(j->kept[i].content);
	j->kept[i].content = nullptr;
	j->kept[i].content_len = 0;
}

// Moves the entry at k of j's heap up or down to its place, the oldest on
// top.
static void sift(journal *j, size_t k)
{
	size_t *h = j->heap;
	for (; k > 0 && date_kept(j, h[k]) < date_kept(j, h[(k - 1) / 2]); k = (k - 1) / 2) {
		size_t t = h[k];
		h[k] = h[(k - 1) / 2];
		h[(k - 1) / 2] = t;
	}
	for (size_t c; (c = 2 * k + 1) < j->n_heap; k = c) {
		c += c + 1 < j->n_heap && date_kept(j, h[c + 1]) < date_kept(j, h[c]);
		if (date_kept(j, h[c]) >= date_kept(j, h[k]))
			break;
		size_t t = h[k];
		h[k] = h[c];
		h[c] = t;
	}
}

// Keeps the text of the entry kept at i only while it may be among the
// newest j->limit items of the feed: while fewer entries are newer than it.
static void limit_texts(journal *j, size_t i)
{
	if (j->n_heap < j->limit) {
		if (!make_room(&j->heap, &j->heap_room, j->n_heap + 1, sizeof *j->heap)) {
			j->starved = true;
			return;
		}
		j->heap[j->n_heap++] = i;
		return sift(j, j->n_heap - 1);
	}
	uint32_t oldest = date_kept(j, j->heap[0]), date = date_kept(j, i);
	if (date < oldest)
		return free_content(j, i);
	if (date > oldest) {
		size_t out = j->heap[0];
		j->heap[0] = i;
		sift(j, 0);
		if (date_kept(j, j->heap[0]) > oldest) {
			free_content(j, out);
			for (size_t t = 0; t < j->n_ties; t++)
				free_content(j, j->ties[t]);
			j->n_ties = 0;
			return;
		}
		i = out;
	}
	if (!make_room(&j->ties, &j->ties_room, j->n_ties + 1, sizeof *j->ties))
		j->starved = true;
	else
		j->ties[j->n_ties++] = i;
}

// Keeps what the feed shows of the entry e, just kept in j, whose title
// line is head: its summary, and with --content its text whole, if it has a
// date of the calendar.
static void keep_text(journal *j, const entry *e, const char *head)
{
	kept_entry &k = j->kept[j->n - 1];
	char summary[SUMMARY_SIZE];
	k.summary_len = make_summary({head, e->body.e}, summary);
	k.summary = k.summary_len ? add_bytes(j, summary, k.summary_len) : 0;
	if (!j->contents || !is_calendar_date(read_iso_date(e->name)))
		return;
	bool cut;
	span text = find_content(e->body, head, &cut);
	// At most CONTENT_SIZE, as the walk read no more.
	k.content_len = length(text) < CONTENT_SIZE ? length(text) : CONTENT_SIZE;
	// A text cut short ends with a line of an ellipsis.
	k.content = (char *)malloc(k.content_len + 4);
	if (!k.content) {
		j->starved = true;
		return;
	}
	memcpy(k.content, text.s, k.content_len);
	if (cut) {
		memcpy(k.content + k.content_len, "\u2026\n", 4);
		k.content_len += 4;
	}
	if (j->limit)
		limit_texts(j, j->n - 1);
}

void keep_entry(const entry *e, void *context)
{
	journal *j = (journal *)context;
	if (!e->name) {
		j->unread = e->error;
		return;
	}
	// An entry whose first line is no heading may have its title after
	// links back and banners.
	size_t stop = 1;
	const char *head = e->head ? e->head : e->why == NO_HEADING && length(e->body) ? find_title_line(e->body, &stop) : nullptr;
	// Of what was read, the title line is kept, as the walk bounds a first
	// line.
	size_t n = e->head ? e->n : head ? (size_t)(e->body.e - head) : 0;
	n = n < LINE_SIZE - 1 ? n : LINE_SIZE - 1;
	const char *line_end = head ? (const char *)memchr(head, '\n', n) : nullptr;
	n = line_end ? line_end + 1 - head : n;
	size_t name = add_bytes(j, e->name, strlen(e->name) + 1), kept = head ? add_bytes(j, head, n) : 0;
	if (name == SIZE_MAX || kept == SIZE_MAX || !make_room(&j->kept, &j->room, j->n + 1, sizeof *j->kept)) {
		j->starved = true;
		return;
	}
	j->kept[j->n++] = {name, kept, n, e->why, e->error, stop, 0, 0, nullptr, 0};
	if (j->summaries && head)
		keep_text(j, e, head);
}

bool hand_out(const journal *j, entry **entries, const char ***names)
{
	*entries = j->starved ? nullptr : (entry *)malloc(j->n * sizeof **entries + 1);
	*names = j->starved ? nullptr : (const char **)malloc(j->n_names * sizeof **names + 1);
	for (size_t i = 0; *entries && i < j->n; i++) {
		const kept_entry &k = j->kept[i];
		const char *summary = j->block.s + k.summary;
		(*entries)[i] = {j->block.s + k.name, k.head ? j->block.s + k.head : nullptr, k.n, k.why, k.error, k.stop, {},
				 {summary, summary + k.summary_len}, {k.content, k.content + k.content_len}};
	}
	for (size_t i = 0; *names && i < j->n_names; i++)
		(*names)[i] = j->block.s + j->names[i];
	return *entries && *names;
}

void free_journal(journal *j)
{
	for (size_t i = 0; i < j->n; i++)
		free(j->kept[i].content);
	free(j->kept);
	free(j->names);
	free(j->heap);
	free(j->ties);
	free(j->block.s);
}

// Tells whether the line [s, e) starts a preformatted block or ends one.
static bool is_toggle(const char *s, const char *e)
{
	return e - s >= 3 && memcmp(s, "```", 3) == 0;
}

static bool is_link(const char *s, const char *e)
{
	return e - s >= 2 && s[0] == '=' && s[1] == '>';
}

// Tells whether the character of len bytes at c is punctuation or a
// symbol: ASCII's, Latin-1's, and U+2000 to U+2BFF (dashes, arrows, box
// drawing, shapes) and CJK punctuation.
static bool is_symbol(const unsigned char *c, size_t len)
{
	unsigned cp = len == 1 ? c[0] : len == 2 ? (c[0] & 0x1F) << 6 | (c[1] & 0x3F) :
		      len == 3 ? (c[0] & 0x0F) << 12 | (c[1] & 0x3F) << 6 | (c[2] & 0x3F) : 0x10000;
	return (cp < 0x80 && !((cp | 0x20) >= 'a' && (cp | 0x20) <= 'z') && !(cp >= '0' && cp <= '9')) ||
	       (cp >= 0xA0 && cp <= 0xBF) || cp == 0xD7 || cp == 0xF7 || (cp >= 0x2000 && cp <= 0x2BFF) ||
	       (cp >= 0x3000 && cp <= 0x303F);
}

// Tells whether the line [s, e) holds no letter or digit.
static bool has_no_word(const char *s, const char *e)
{
	const unsigned char *c = (const unsigned char *)s, *end = (const unsigned char *)e;
	for (size_t len; c < end; c += len) {
		len = measure_utf8(c, end - c);
		if (len == 0 || !is_symbol(c, len))
			return false;
	}
	return true;
}

static bool is_meta_line(const char *s, const char *e);

const char *find_title_line(span body, size_t *stop)
{
	bool pre = false;
	*stop = 0;
	for (const char *line = body.s, *next; line < body.e; line = next) {
		next = next_line(line, body.e);
		++*stop;
		bool toggle = is_toggle(line, next);
		pre ^= toggle;
		const char *e = strip_line_end(line, next);
		if (pre || toggle || is_blank_line(line, next) || is_link(line, next) || is_date_line(line, e) || is_meta_line(line, e))
			continue;
		if (*line != '#')
			return nullptr;
		// A heading of no word is a rule under a link back.
		if (!has_no_word(line, e))
			return line;
	}
	*stop = 0;
	return nullptr;
}

// How a line of an entry's text counts for its summary.
enum line_kind { NO_WORDS, WORDS, ITEM };

static line_kind read_kind(const char *line, const char *next, bool pre)
{
	const char *e = strip_line_end(line, next);
	if (pre || is_toggle(line, next) || is_blank_line(line, next) || is_link(line, next) || *line == '#' ||
	    has_no_word(line, e))
		return NO_WORDS;
	return e - line >= 2 && line[0] == '*' && line[1] == ' ' ? ITEM : WORDS;
}

// Tells whether the line [s, e) gives a post's metadata: a short key of a
// word or three, a colon, and a short value, as in "Author: Jo" or
// "* Tags: a, b".
static bool is_meta_line(const char *s, const char *e)
{
	s += e - s >= 2 && (*s == '*' || *s == '-') && s[1] == ' ' ? 2 : 0;
	const char *c = s;
	int words = 1;
	for (; c < e && *c != ':'; c++) {
		if (*c == ' ')
			words++;
		else if (!((*c | 0x20) >= 'a' && (*c | 0x20) <= 'z') && *c != '-' && *c != '_')
			return false;
	}
	return c > s && c - s <= 24 && words <= 3 && s[0] != ' ' && e - c >= 3 && c[1] == ' ' && e - c <= 80;
}

// The paragraph [s, e) without its first lines that only date the post or
// give its metadata.
static const char *skip_metadata(const char *s, const char *e)
{
	for (const char *next; s < e; s = next) {
		next = next_line(s, e);
		const char *end = strip_line_end(s, next);
		if (!is_date_line(s, end) && !is_meta_line(s, end))
			break;
	}
	return s;
}

// Finds in text the first paragraph of prose, returned, its end in *end.
static const char *find_paragraph(span text, const char **end)
{
	bool pre = false;
	for (const char *line = text.s, *next; line < text.e; line = next) {
		next = next_line(line, text.e);
		line_kind k = read_kind(line, next, pre);
		pre ^= is_toggle(line, next);
		if (k == NO_WORDS)
			continue;
		const char *start = line, *after = next;
		while (after < text.e && read_kind(after, next_line(after, text.e), false) != NO_WORDS)
			after = next_line(after, text.e);
		// A caption, a line ending in ":" right above a link or a list, or
		// alone above one.
		const char *e = strip_line_end(line, next), *below = next;
		while (after == next && below < text.e && is_blank_line(below, next_line(below, text.e)))
			below = next_line(below, text.e);
		if (e > line && e[-1] == ':' && below < text.e &&
		    (is_link(below, next_line(below, text.e)) || read_kind(below, next_line(below, text.e), false) == ITEM))
			start = next;
		next = after;
		start = skip_metadata(start, after);
		if (start < after) {
			*end = after;
			return start;
		}
	}
	return nullptr;
}

size_t make_summary(span body, char *summary)
{
	constexpr size_t MOST = 300;  // characters
	const char *end, *start = find_paragraph({next_line(body.s, body.e), body.e}, &end);
	// Bytes written, characters, the end of the character before the
	// limit's, and the last blank before it.
	size_t n = 0, chars = 0, cut = 0, blank = 0;
	auto add = [&](const char *bytes, size_t size) {
		memcpy(summary + n, bytes, size);
		n += size;
		cut = ++chars == MOST - 1 ? n : cut;
	};
	for (const char *line = start, *next; start && line < end && chars <= MOST; line = next) {
		next = next_line(line, end);
		// A list's and a quote's markers are left out; lines are joined by
		// a blank, a list's items after the one before ended, and a run of
		// blanks is one.
		bool item = read_kind(line, next, false) == ITEM;
		if (item && n > 0 && !strchr(".!?;:", summary[n - 1]))
			add(";", 1);
		const unsigned char *u = (const unsigned char *)line + (item ? 2 : *line == '>');
		bool gap = n > 0;
		for (size_t len = 1; u < (const unsigned char *)next && chars <= MOST; u += len) {
			len = 1;
			if (is_blank(*u)) {
				gap = n > 0;
				continue;
			}
			// Most of any text is printable ASCII, kept as it is.
			xml_char what = *u > ' ' && *u < 0x7F ? KEEP : read_xml_char(u, (const unsigned char *)next, false, &len);
			if (what == DROP)
				continue;
			if (gap) {
				blank = chars < MOST - 1 ? n : blank;
				add(" ", 1);
				gap = false;
			}
			if (len == 1 && what == KEEP) {
				summary[n++] = *u;
				cut = ++chars == MOST - 1 ? n : cut;
			} else {
				add(what == REPLACE ? "\xEF\xBF\xBD" : (const char *)u, what == REPLACE ? 3 : len);
			}
		}
	}
	if (chars <= MOST)
		return n;
	// Longer: cut at the last blank before the limit, or at it, and marked.
	n = blank > 0 ? blank : cut;
	memcpy(summary + n, "\u2026", 3);
	return n + 3;
}

span find_content(span body, const char *title, bool *cut)
{
	const char *s = next_line(title, body.e), *e = body.e;
	for (const char *next; s < e && (next = next_line(s, e))[-1] == '\n' && is_blank_line(s, next);)
		s = next;
	*cut = length(body) > CONTENT_SIZE;
	if (*cut) {
		e = body.s + CONTENT_SIZE;
		while (e > s && e[-1] != '\n')
			e--;
	}
	return {s, e};
}

// SPDX-License-Identifier: ISC
// The journal's Atom feed (RFC 4287), well-formed XML 1.0 whatever bytes
// the titles hold.
#include "feed.h"

#include "core.h"
#include "walk.h"

#include <stdlib.h>
#include <string.h>

// The host in url, which is_journal_url accepted: past the scheme and any
// user, before any port; its length in *len.
static const char *find_host(const char *url, size_t *len)
{
	const char *host = strstr(url, "://") + 3, *end = host + strcspn(host, "/?#");
	for (const char *c = host; c < end; c++)
		if (*c == '@')
			host = c + 1;
	const char *close = (const char *)memchr(host, ']', end - host);
	*len = *host == '[' && close ? close + 1 - host : strcspn(host, ":/?#");
	return host;
}

bool is_journal_url(const char *url)
{
	size_t scheme = measure_scheme(url, url + strlen(url));
	if (scheme == 0 || strncmp(url + scheme, "://", 3) != 0)
		return false;
	for (const char *c = url; *c; c++)
		if ((unsigned char)*c <= ' ' || (unsigned char)*c >= 0x7F)
			return false;
	size_t len;
	find_host(url, &len);
	return len > 0;
}

// Tells whether the eight bytes at c are all printable ASCII but the markup
// characters, in one word's few steps rather than eight.
static bool is_plain_word(const unsigned char *c)
{
	constexpr uint64_t ones = ~0ull / 255, highs = ones * 0x80;
	uint64_t w;
	memcpy(&w, c, 8);
	// A byte below 0x20, or above 0x7E, or one that the markup character
	// makes zero sets its lane's high bit; a borrow or carry between lanes
	// comes only from a lane that sets it already.
	uint64_t outside = (((w - ones * 0x20) & ~w) | (w + ones) | w) & highs;
	static const unsigned char markup[] = "&<>\"";
	for (int i = 0; i < 4; i++) {
		uint64_t x = w ^ (ones * markup[i]);
		outside |= (x - ones) & ~x & highs;
	}
	return outside == 0;
}

// Writes the len bytes of s as XML character data, as read_xml_char reads
// them, with lines its line feeds, so that any bytes give a well-formed
// document.
static void write_xml(FILE *out, const char *s, size_t len, bool lines = false)
{
	// Printable ASCII but the markup, and tab: most of any text.
	static constexpr byte_set plain_ascii = make_byte_set(
		"\t !#$%'()*+,-./0123456789:;=?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~\x7f");
	const unsigned char *c = (const unsigned char *)s, *end = c + len, *run = c;
	while (c < end) {
		if (plain_ascii.has[*c]) {
			c++;
			while (end - c >= 8 && is_plain_word(c))
				c += 8;
			continue;
		}
		size_t n;
		xml_char what = read_xml_char(c, end, lines, &n);
		if (what == KEEP) {
			c += n;
			continue;
		}
		fwrite(run, 1, c - run, out);
		if (what == REPLACE)
			fputs("\xEF\xBF\xBD", out);
		else if (what == ESCAPE)
			fputs(*c == '&' ? "&amp;" : *c == '<' ? "&lt;" : *c == '>' ? "&gt;" : "&quot;", out);
		c += n;
		run = c;
	}
	if (c > run)
		fwrite(run, 1, c - run, out);
}

// Writes url, which ends in "/", then the entry's name as its index line
// links it, if any.
static void write_url(FILE *out, const char *url, const char *name)
{
	write_xml(out, url, strlen(url));
	if (name)
		write_target(out, name, true);
}

// Removes the "." and ".." segments of the len bytes of path at s, in
// place, as RFC 3986 (5.2.4) does; returns the length left.
static size_t remove_dot_segments(char *s, size_t len)
{
	char *in = s, *end = s + len, *out = s;
	while (in < end) {
		size_t left = end - in;
		if (left >= 3 && memcmp(in, "../", 3) == 0) {
			in += 3;
		} else if (left >= 2 && memcmp(in, "./", 2) == 0) {
			in += 2;
		} else if (left >= 3 && memcmp(in, "/./", 3) == 0) {
			in += 2;
		} else if (left == 2 && memcmp(in, "/.", 2) == 0) {
			*++in = '/';
		} else if ((left >= 4 && memcmp(in, "/../", 4) == 0) || (left == 3 && memcmp(in, "/..", 3) == 0)) {
			// "/.." ends the path as "/".
			in += left == 3 ? 2 : 3;
			*in = '/';
			while (out > s && out[-1] != '/')
				out--;
			out -= out > s;
		} else if ((left == 1 && *in == '.') || (left == 2 && memcmp(in, "..", 2) == 0)) {
			in = end;
		} else {
			do
				*out++ = *in++;
			while (in < end && *in != '/');
		}
	}
	return out - s;
}

// Writes the link of a line to target resolved against url, a journal's
// URL that ends in "/", as RFC 3986 resolves a reference: one with a
// scheme, or a host, as it is; a root path against the URL's scheme and
// host; a relative one against the URL's path; dot segments removed.
static void write_resolved(FILE *out, const char *url, span target)
{
	const char *rest = target.s;
	bool absolute = measure_scheme(target.s, target.e) > 0;
	bool network = !absolute && target.e - target.s >= 2 && target.s[0] == '/' && target.s[1] == '/';
	const char *host = strstr(url, "://") + 1, *path = host + 2 + strcspn(host + 2, "/?#");
	if (network)
		write_xml(out, url, host - url);
	if (absolute || network)
		return write_xml(out, target.s, target.e - target.s);
	write_xml(out, url, path - url);
	while (rest < target.e && *rest != '?' && *rest != '#')
		rest++;
	// The path the reference's is merged with: none for a root path, the
	// URL's whole when the reference has none, else up to its last "/".
	const char *base = path + strcspn(path, "?#");
	if (rest > target.s)
		while (base > path && (base[-1] != '/' || *target.s == '/'))
			base--;
	size_t from = base - path, len = from + (rest - target.s);
	char *merged = (char *)malloc(len + 1);
	if (!merged)
		return;  // the feed's stream fails too
	memcpy(merged, path, from);
	memcpy(merged + from, target.s, rest - target.s);
	write_xml(out, merged, remove_dot_segments(merged, len));
	free(merged);
	write_xml(out, rest, target.e - rest);
}

// Writes the link of an item: its entry's, i, under url, or its line's
// target resolved against url.
static void write_item_link(FILE *out, const page *p, uint32_t i, span target)
{
	if (i != NO_ENTRY)
		write_url(out, p->url.s, p->entries[i].name);
	else
		write_resolved(out, p->url.s, target);
}

// Writes the date YYYYMMDD as Atom's instant, its midnight UTC.
static void write_instant(FILE *out, uint32_t date)
{
	char instant[] = "YYYY-MM-DDT00:00:00Z";
	for (int i = 9; i >= 0; i--) {
		if (i == 4 || i == 7)
			continue;
		instant[i] = (char)('0' + date % 10);
		date /= 10;
	}
	fwrite(instant, 1, sizeof instant - 1, out);
}

const item *date_feed(const page *p, void (*say)(uint32_t entry, void *context), void *context)
{
	const item *newest = nullptr;
	for (const item *it = p->items; it < p->items + p->n_items; it++) {
		if (is_calendar_date(it->date))
			newest = newest ? newest : it;
		else
			say(find_item_entry(p, it), context);
	}
	return newest;
}

void write_feed(FILE *out, const page *p, const item *newest, size_t limit, const char *title, size_t len)
{
	const char *url = p->url.s;
	size_t host_len;
	const char *host = find_host(url, &host_len);
	fputs("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
	      "<feed xmlns=\"http://www.w3.org/2005/Atom\">\n  <id>", out);
	write_url(out, url, nullptr);
	fputs("</id>\n  <title>", out);
	write_xml(out, title, len);
	fputs("</title>\n  <updated>", out);
	write_instant(out, newest->date);
	fputs("</updated>\n  <link rel=\"self\" href=\"", out);
	write_url(out, url, "atom.xml");
	fputs("\"/>\n  <link rel=\"alternate\" href=\"", out);
	write_url(out, url, nullptr);
	fputs("\"/>\n  <author><name>", out);
	write_xml(out, host, host_len);
	fputs("</name></author>\n", out);
	for (const item *it = newest; it < p->items + p->n_items && limit > 0; it++) {
		if (!is_calendar_date(it->date))
			continue;
		limit--;
		span title, target;
		uint32_t i = show_item(p, it, &title, &target);
		fputs("  <entry>\n    <id>", out);
		write_item_link(out, p, i, target);
		fputs("</id>\n    <title>", out);
		write_xml(out, title.s, length(title));
		fputs("</title>\n    <updated>", out);
		write_instant(out, it->date);
		fputs("</updated>\n    <published>", out);
		write_instant(out, it->date);
		fputs("</published>\n    <link rel=\"alternate\" href=\"", out);
		write_item_link(out, p, i, target);
		fputs("\"/>\n", out);
		const entry *e = i != NO_ENTRY ? &p->entries[i] : nullptr;
		if (e && e->summary.e > e->summary.s) {
			fputs("    <summary type=\"text\">", out);
			write_xml(out, e->summary.s, e->summary.e - e->summary.s);
			fputs("</summary>\n", out);
		}
		if (e && e->content.s) {
			fputs("    <content type=\"text\">", out);
			write_xml(out, e->content.s, e->content.e - e->content.s, true);
			fputs("</content>\n", out);
		}
		fputs("  </entry>\n", out);
	}
	fputs("</feed>\n", out);
}

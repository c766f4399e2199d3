// SPDX-License-Identifier: ISC
// The journal's Atom feed (RFC 4287), well-formed XML 1.0 whatever bytes
// the titles hold.
#include "feed.h"

#include "core.h"
#include "walk.h"

#include <ctype.h>
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
	const char *c = url;
	if (!isalpha((unsigned char)*c))
		return false;
	while (isalnum((unsigned char)*c) || *c == '+' || *c == '-' || *c == '.')
		c++;
	if (strncmp(c, "://", 3) != 0)
		return false;
	for (c = url; *c; c++)
		if ((unsigned char)*c <= ' ' || (unsigned char)*c >= 0x7F)
			return false;
	size_t len;
	find_host(url, &len);
	return len > 0;
}

// Writes the len bytes of s as XML character data: ill-formed UTF-8 as
// U+FFFD, what XML 1.0 forbids (the C0 controls but tab, U+FFFE and U+FFFF)
// left out, and the markup characters escaped, so that any bytes give a
// well-formed document.
static void write_xml(FILE *out, const char *s, size_t len)
{
	// Printable ASCII but the markup, and tab: most of any text.
	static constexpr byte_set plain_ascii = make_byte_set(
		"\t !#$%'()*+,-./0123456789:;=?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~\x7f");
	const unsigned char *c = (const unsigned char *)s, *end = c + len, *run = c;
	while (c < end) {
		if (plain_ascii.has[*c]) {
			c++;
			continue;
		}
		size_t n = *c < 0x80 ? 1 : measure_utf8(c, end - c);
		bool markup = *c == '&' || *c == '<' || *c == '>' || *c == '"';
		bool plain = n == 1 ? (*c >= ' ' || *c == '\t') && !markup :
			     n > 1 && !(n == 3 && c[0] == 0xEF && c[1] == 0xBF && c[2] >= 0xBE);
		if (plain) {
			c += n;
			continue;
		}
		fwrite(run, 1, c - run, out);
		if (n == 0)
			fputs("\xEF\xBF\xBD", out);
		else if (markup)
			fputs(*c == '&' ? "&amp;" : *c == '<' ? "&lt;" : *c == '>' ? "&gt;" : "&quot;", out);
		c += n ? n : 1;
		run = c;
	}
	fwrite(run, 1, c - run, out);
}

// Writes url, with a "/" after it if it ends in none, then the len bytes
// of path, escaped.
static void write_url(FILE *out, const char *url, const char *path, size_t len)
{
	size_t url_len = strlen(url);
	write_xml(out, url, url_len);
	if (url[url_len - 1] != '/')
		putc('/', out);
	write_xml(out, path, len);
}

// Tells whether the YYYY-MM-DD at s is a date of the Gregorian calendar, in
// the years 1 to 9999.
static bool is_calendar_date(const char *s)
{
	static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
	int year = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 + (s[3] - '0');
	int month = (s[5] - '0') * 10 + (s[6] - '0'), day = (s[8] - '0') * 10 + (s[9] - '0');
	bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
	return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1] + (month == 2 && leap);
}

// Splits line into e; returns false, having named the entry of folder on
// standard error, when its date is not one of the calendar.
static bool read_entry(const char *line, link_parts *e, const char *folder)
{
	*e = split_link(line, strlen(line));
	if (is_calendar_date(e->date))
		return true;
	char name[e->target_len + 1];
	memcpy(name, e->target, e->target_len);
	name[e->target_len] = '\0';
	report_in("gemlog-index: ", folder, name, ": not a calendar date; left out of the feed");
	return false;
}

void write_feed(FILE *out, char *const *lines, size_t n, const char *url, const char *title, size_t len,
		const char *folder)
{
	size_t host_len;
	const char *host = find_host(url, &host_len);
	fputs("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
	      "<feed xmlns=\"http://www.w3.org/2005/Atom\">\n  <id>", out);
	write_url(out, url, "", 0);
	fputs("</id>\n  <title>", out);
	write_xml(out, title, len);
	fputs("</title>\n  <updated>", out);
	link_parts e;
	size_t first = 0;
	while (first < n && !read_entry(lines[first], &e, folder))
		first++;
	fwrite(first < n ? e.date : "1970-01-01", 1, 10, out);
	fputs("T00:00:00Z</updated>\n  <link rel=\"self\" href=\"", out);
	write_url(out, url, "atom.xml", 8);
	fputs("\"/>\n  <link rel=\"alternate\" href=\"", out);
	write_url(out, url, "", 0);
	fputs("\"/>\n  <author><name>", out);
	write_xml(out, host, host_len);
	fputs("</name></author>\n", out);
	for (size_t i = first; i < n; i++) {
		if (i > first && !read_entry(lines[i], &e, folder))
			continue;
		fputs("  <entry>\n    <id>", out);
		write_url(out, url, e.target, e.target_len);
		fputs("</id>\n    <title>", out);
		write_xml(out, e.title, e.title_len);
		fputs("</title>\n    <updated>", out);
		fwrite(e.date, 1, 10, out);
		fputs("T00:00:00Z</updated>\n    <link rel=\"alternate\" href=\"", out);
		write_url(out, url, e.target, e.target_len);
		fputs("\"/>\n  </entry>\n", out);
	}
	fputs("</feed>\n", out);
}

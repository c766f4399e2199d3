// SPDX-License-Identifier: ISC
#include "core.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

bool starts_with_date(const char *s, size_t len)
{
	if (len < 10)
		return false;
	for (int i = 0; i < 10; i++) {
		bool dash = i == 4 || i == 7;
		if (dash ? s[i] != '-' : !isdigit((unsigned char)s[i]))
			return false;
	}
	return true;
}

size_t measure_scheme(const char *s, const char *end)
{
	const char *c = s;
	if (c == end || !isalpha((unsigned char)*c))
		return 0;
	while (c < end && (isalnum((unsigned char)*c) || *c == '+' || *c == '-' || *c == '.'))
		c++;
	return c < end && *c == ':' ? c - s : 0;
}

const char *validate_name(const char *name)
{
	size_t len = strlen(name);

	if (len < 14 || strcmp(name + len - 4, ".gmi") != 0 || !starts_with_date(name, len))
		return nullptr;
	return name;
}

void write_target(FILE *out, const char *name, bool xml)
{
	// RFC 3986 unreserved and sub-delims, and "@"; ":" is left out because
	// it may not stand in the first segment of a relative reference.
	static constexpr byte_set plain = make_byte_set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
							"0123456789-._~!$&'()*+,;=@");
	static const char hex[] = "0123456789ABCDEF";

	for (;;) {
		const char *run = name;
		while (plain.has[(unsigned char)*name])
			name++;
		const char *amp = xml ? (const char *)memchr(run, '&', name - run) : nullptr;
		if (amp) {
			fwrite(run, 1, amp - run, out);
			fputs("&amp;", out);
			name = amp + 1;
			continue;
		}
		fwrite(run, 1, name - run, out);
		if (!*name)
			return;
		unsigned char c = *name++;
		char escape[3] = {'%', hex[c >> 4], hex[c & 15]};
		fwrite(escape, 1, 3, out);
	}
}

// For a byte that leads a well-formed UTF-8 sequence, returns the sequence's
// length and sets the range its second byte must lie in; returns 0 for any
// other byte. The ranges rule out overlong forms, surrogates and code points
// past U+10FFFF (Unicode's table of well-formed byte sequences).
static size_t read_lead(unsigned char c, unsigned char *lo, unsigned char *hi)
{
	*lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
	*hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
	return c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 :
	       c >= 0xF0 && c <= 0xF4 ? 4 : 0;
}

static bool is_continuation(unsigned char c)
{
	return (c & 0xC0) == 0x80;
}

size_t measure_utf8(const unsigned char *s, size_t avail)
{
	if (*s < 0x80)
		return 1;
	unsigned char lo, hi;
	size_t len = read_lead(s[0], &lo, &hi);
	if (len == 0 || len > avail || s[1] < lo || s[1] > hi)
		return 0;
	for (size_t i = 2; i < len; i++)
		if (!is_continuation(s[i]))
			return 0;
	return len;
}

// Length of s[0, n) without a trailing UTF-8 sequence that the line buffer
// cut short; bytes that can start no UTF-8 character are kept.
static size_t trim_partial_utf8(const char *s, size_t n)
{
	size_t lead = n;
	while (lead > 0 && n - lead < 3 && is_continuation(s[lead - 1]))
		lead--;
	if (lead == 0)
		return n;
	unsigned char lo, hi;
	size_t want = read_lead(s[--lead], &lo, &hi);
	size_t have = n - lead;
	if (want == 0 || have >= want)
		return n;
	if (have > 1 && ((unsigned char)s[lead + 1] < lo || (unsigned char)s[lead + 1] > hi))
		return n;
	return lead;
}

size_t measure_title(const char *head, size_t n)
{
	const char *title = head + 1;
	size_t line = n - 1;
	const char *end = (const char *)memchr(title, '\n', line);
	if (end)
		line = end - title;
	size_t len = strnlen(title, line);
	// A heading that fills the buffer was cut there, maybe inside a character.
	if (!end && len == line && n == LINE_SIZE - 1)
		len = trim_partial_utf8(title, len);
	return len;
}

bool write_link(FILE *out, const char *name, const char *head, size_t n, bool terminal)
{
	if (n == 0 || head[0] != '#')
		return false;

	const char *title = head + 1;
	size_t len = measure_title(head, n);
	fputs("=>", out);
	write_target(out, name, false);
	putc(' ', out);
	fwrite(name, 1, strnlen(name, 10), out);
	fputs("  ", out);
	if (terminal) {
		char shown[LINE_SIZE];
		bool cr = len > 0 && title[len - 1] == '\r';
		size_t kept = show_text(shown, title, len - cr);
		if (cr)
			shown[kept++] = '\r';
		fwrite(shown, 1, kept, out);
	} else {
		fwrite(title, 1, len, out);
	}
	putc('\n', out);
	return true;
}

// Tells whether the well-formed UTF-8 character s, of len bytes, can drive a
// terminal: the C0 controls, DEL, the C1 controls U+0080 to U+009F, the
// Arabic letter mark U+061C, the left-to-right and right-to-left marks U+200E
// and U+200F, the line and paragraph separators U+2028 and U+2029, the
// bidirectional embeddings and overrides U+202A to U+202E and the isolates
// U+2066 to U+2069.
static bool is_unsafe(const unsigned char *s, size_t len)
{
	switch (len) {
	case 1:
		return s[0] < 0x20 || s[0] == 0x7F;
	case 2:
		return (s[0] == 0xC2 && s[1] < 0xA0) || (s[0] == 0xD8 && s[1] == 0x9C);
	case 3:
		return s[0] == 0xE2 && ((s[1] == 0x80 && (s[2] == 0x8E || s[2] == 0x8F ||
							 (s[2] >= 0xA8 && s[2] <= 0xAE))) ||
					(s[1] == 0x81 && s[2] >= 0xA6 && s[2] <= 0xA9));
	}
	return false;
}

size_t show_text(char *shown, const char *text, size_t n)
{
	char *p = shown;
	const unsigned char *s = (const unsigned char *)text, *end = s + n;
	while (s < end) {
		size_t len = measure_utf8(s, end - s);
		if (len == 0 || is_unsafe(s, len)) {
			*p++ = '?';
			s += len ? len : 1;
		} else {
			memcpy(p, s, len);
			p += len;
			s += len;
		}
	}
	return p - shown;
}

xml_char read_xml_char(const unsigned char *c, const unsigned char *end, bool lines, size_t *n)
{
	*n = *c < 0x80 ? 1 : measure_utf8(c, end - c);
	if (*n == 0) {
		*n = 1;
		return REPLACE;
	}
	if (*c == '&' || *c == '<' || *c == '>' || *c == '"')
		return ESCAPE;
	bool kept = *n == 1 ? *c >= ' ' || *c == '\t' || (lines && *c == '\n') : !(*n == 3 && c[0] == 0xEF && c[1] == 0xBF && c[2] >= 0xBE);
	return kept ? KEEP : DROP;
}

const char *skip_blanks(const char *s, const char *e)
{
	while (s < e && is_blank(*s))
		s++;
	return s;
}

const char *next_line(const char *line, const char *end)
{
	const char *line_end = (const char *)memchr(line, '\n', end - line);
	return line_end ? line_end + 1 : end;
}

const char *strip_line_end(const char *s, const char *e)
{
	if (e > s && e[-1] == '\n')
		e--;
	return e > s && e[-1] == '\r' ? e - 1 : e;
}

bool is_blank_line(const char *s, const char *e)
{
	return skip_blanks(s, e) == strip_line_end(s, e);
}

bool make_room(void *p, size_t *room, size_t need, size_t size)
{
	if (need <= *room)
		return true;
	size_t more = *room ? *room : 16;
	while (more < need)
		more *= 2;
	void *grown = realloc(*(void **)p, more * size);
	if (!grown)
		return false;
	*(void **)p = grown;
	*room = more;
	return true;
}

void close_keeping_errno(int fd)
{
	int error = errno;
	close(fd);
	errno = error;
}

// SPDX-License-Identifier: ISC
// Fuzzes the link line: the first byte gives the length of the entry name,
// the name follows, and the rest is the start of the entry's file. Whatever
// an accepted name and the file hold, a heading gives exactly one line whose
// target decodes back to the name, whose date is the name's first ten bytes
// and whose title is a prefix of the heading; anything else gives no line.
#include "core.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

static void check(bool ok)
{
	if (!ok)
		abort();
}

static int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// Decodes the target at link, checking every byte is allowed; returns the
// position after it.
static const char *check_target(const char *link, const char *name)
{
	const char *p = link;
	for (; *name; name++) {
		char c = *p;
		if (c == '%') {
			int hi = hex_value(p[1]), lo = hex_value(p[2]);
			check(hi >= 0 && lo >= 0 && (char)(hi << 4 | lo) == *name);
			p += 3;
		} else {
			check((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
			      (c >= '0' && c <= '9') || strchr("-._~!$&'()*+,;=@", c));
			check(c == *name);
			p++;
		}
	}
	return p;
}

// True when s[0, n) ends inside a UTF-8 character.
static bool ends_mid_character(const unsigned char *s, size_t n)
{
	for (size_t back = 1; back <= 3 && back <= n; back++) {
		unsigned char c = s[n - back];
		if ((c & 0xC0) == 0x80)
			continue;
		size_t want = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 :
			      c >= 0xF0 && c <= 0xF4 ? 4 : 0;
		if (want <= back)
			return false;
		if (back == 1)
			return true;
		unsigned char d = s[n - back + 1];
		return !((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) ||
			 (c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F));
	}
	return false;
}

// Checks the link line that write_link gave, written or not, for an accepted name.
static void check_link(const char *link, size_t len, bool written, const char *name,
		       const char *head, size_t n)
{
	if (n == 0 || head[0] != '#') {
		check(!written && len == 0);
		return;
	}
	check(written && len > 0);
	check(memchr(link, '\n', len) == link + len - 1);

	check(memcmp(link, "=>", 2) == 0);
	const char *p = check_target(link + 2, name);
	check(*p++ == ' ');
	size_t date = strnlen(name, 10);
	check(memcmp(p, name, date) == 0);
	p += date;
	check(memcmp(p, "  ", 2) == 0);
	p += 2;

	size_t title = link + len - 1 - p;
	check(title <= n - 1 && memcmp(p, head + 1, title) == 0);
	check(memchr(p, '\0', title) == nullptr);
	const unsigned char *heading = (const unsigned char *)head + 1;
	size_t line = n - 1;
	if (const void *end = memchr(heading, '\n', n - 1))
		line = (const unsigned char *)end - heading;
	size_t text = strnlen(head + 1, line);
	if (text < line || n < LINE_SIZE - 1 || line < n - 1)
		check(title == text);
	else if (title == text)
		check(!ends_mid_character(heading, text));
	else {
		// Only a character the buffer cut short is dropped.
		const unsigned char *cut = heading + title;
		check(text - title <= 3 && ends_mid_character(heading, text));
		check((cut[0] & 0xC0) == 0xC0);
		for (size_t i = 1; i < text - title; i++)
			check((cut[i] & 0xC0) == 0x80);
	}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0)
		return 0;
	size_t field = data[0] < size - 1 ? data[0] : size - 1;
	char name[256];
	size_t name_len = strnlen((const char *)data + 1, field);
	memcpy(name, data + 1, name_len);
	name[name_len] = '\0';
	const char *head = (const char *)data + 1 + field;
	size_t n = size - 1 - field;
	if (n > LINE_SIZE - 1)
		n = LINE_SIZE - 1;

	char *link;
	size_t len;
	FILE *out = open_memstream(&link, &len);
	bool written = write_link(out, name, head, n, false);
	check(fclose(out) == 0);
	if (validate_name(name))  // the program gives it no other name
		check_link(link, len, written, name, head, n);
	free(link);
	return 0;
}

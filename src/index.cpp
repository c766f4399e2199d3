#include "index.h"

#include <cctype>
#include <cstring>

const char *validate_name(const char *name)
{
	size_t len = strlen(name);

	if (len < 14 || strcmp(name + len - 4, ".gmi") != 0)
		return nullptr;
	for (int i = 0; i < 10; i++) {
		bool dash = i == 4 || i == 7;
		if (dash ? name[i] != '-' : !isdigit((unsigned char)name[i]))
			return nullptr;
	}
	return name;
}

// RFC 3986 unreserved and sub-delims, and "@"; ":" is left out because it
// may not stand in the first segment of a relative reference.
static bool is_plain(unsigned char c)
{
	return isalnum(c) || (c != 0 && strchr("-._~!$&'()*+,;=@", c));
}

static size_t encode_target(char *out, const char *name)
{
	static const char hex[] = "0123456789ABCDEF";
	char *p = out;

	for (; *name; name++) {
		unsigned char c = *name;
		if (is_plain(c)) {
			*p++ = c;
		} else {
			*p++ = '%';
			*p++ = hex[c >> 4];
			*p++ = hex[c & 15];
		}
	}
	return p - out;
}

// Length of s[0, n) without a trailing UTF-8 sequence that the line buffer
// cut short; bytes that can start no UTF-8 character are kept.
static size_t trim_partial_utf8(const char *s, size_t n)
{
	size_t lead = n;
	while (lead > 0 && n - lead < 3 && ((unsigned char)s[lead - 1] & 0xC0) == 0x80)
		lead--;
	if (lead == 0)
		return n;
	unsigned char c = s[--lead];
	size_t want = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 :
		      c >= 0xF0 && c <= 0xF4 ? 4 : 0;
	size_t have = n - lead;
	if (want == 0 || have >= want)
		return n;
	if (have > 1) {
		unsigned char d = s[lead + 1];
		if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d > 0x9F) ||
		    (c == 0xF0 && d < 0x90) || (c == 0xF4 && d > 0x8F))
			return n;
	}
	return lead;
}

size_t format_link(char *link, const char *name, const char *head, size_t n)
{
	if (n == 0 || head[0] != '#' || strnlen(name, NAME_SIZE + 1) > NAME_SIZE)
		return 0;

	const char *title = head + 1;
	size_t line = n - 1;
	const char *end = (const char *)memchr(title, '\n', line);
	if (end)
		line = end - title;
	size_t len = strnlen(title, line);
	// A heading that fills the buffer was cut there, maybe inside a character.
	if (!end && len == line && n == LINE_SIZE - 1)
		len = trim_partial_utf8(title, len);

	char *p = link;
	memcpy(p, "=>", 2);
	p += 2;
	p += encode_target(p, name);
	*p++ = ' ';
	size_t date = strnlen(name, 10);
	memcpy(p, name, date);
	p += date;
	memcpy(p, "  ", 2);
	p += 2;
	memcpy(p, title, len);
	p += len;
	*p++ = '\n';
	return p - link;
}

void show_name(char *shown, const char *name)
{
	for (; *name; name++)
		*shown++ = (unsigned char)*name < 0x20 || *name == 0x7F ? '?' : *name;
	*shown = '\0';
}

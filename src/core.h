// SPDX-License-Identifier: ISC
#ifndef QUENLET_CORE_H
#define QUENLET_CORE_H

#include <stddef.h>
#include <stdio.h>

// The bytes [s, e).
struct span {
	const char *s, *e;
};

// len bytes of text at s.
struct text {
	char *s;
	size_t len;
};

// A set of bytes, tested in one load: strspn may build its table anew on
// every call.
struct byte_set {
	bool has[256];
};

constexpr byte_set make_byte_set(const char *bytes)
{
	byte_set set{};
	for (; *bytes; bytes++)
		set.has[(unsigned char)*bytes] = true;
	return set;
}

// The first line of an entry is read into this many bytes, less one.
constexpr size_t LINE_SIZE = 1024;

// Tells whether the len bytes at s start with a date of the form YYYY-MM-DD,
// in ASCII digits; the calendar is not consulted.
bool starts_with_date(const char *s, size_t len);

// Length of the URL scheme that starts the bytes [s, end), its ":" not
// counted, or 0 when none does: a letter, then letters, digits, "+", "-"
// and ".", as RFC 3986 has it.
size_t measure_scheme(const char *s, const char *end);

// Returns name when it is a journal entry's name (YYYY-MM-DD, anything,
// ".gmi"), or nullptr.
const char *validate_name(const char *name);

// Writes name to out as a link target: the bytes that a URL may hold as
// they are, the others percent-encoded; with xml, "&" as "&amp;", so that it
// may stand in XML text or a quoted attribute.
void write_target(FILE *out, const char *name, bool xml);

// Length of the title in head, the n bytes (0 < n < LINE_SIZE) of a first
// line that starts with "#": what follows the "#" up to a line end or NUL,
// less a character that the line buffer cut short.
size_t measure_title(const char *head, size_t n);

// Writes to out the index line for the entry called name, a name that
// validate_name accepted, whose file begins with the n bytes of head
// (n < LINE_SIZE); returns false, having written nothing, when head does not
// start with a heading. For a terminal, the title is written as show_text
// shows it, but for a carriage return that ends it.
bool write_link(FILE *out, const char *name, const char *head, size_t n, bool terminal);

// Tells whether c is a blank: a space or a tab.
inline bool is_blank(char c)
{
	return c == ' ' || c == '\t';
}

// Length of the well-formed UTF-8 sequence at the start of the avail bytes
// of s, at least one, or 0 when none starts there.
size_t measure_utf8(const unsigned char *s, size_t avail);

// Writes the len bytes of text to shown, which holds at least len bytes,
// with every control character, every character that reorders or breaks a
// line, and every byte that is not part of well-formed UTF-8 shown as "?",
// so that it cannot drive a terminal; returns the length written, no longer
// than len. Adds no NUL.
size_t show_text(char *shown, const char *text, size_t len);

// What XML text makes of a character: kept as it is, escaped as markup,
// left out where XML 1.0 forbids it (the C0 controls but tab, and line feed
// in lines, U+FFFE and U+FFFF), or, ill-formed UTF-8, written as U+FFFD.
enum xml_char { KEEP, ESCAPE, DROP, REPLACE };

// Reads the character at c, before end, as XML text holds it, with lines
// its line feeds, its length in *n.
xml_char read_xml_char(const unsigned char *c, const unsigned char *end, bool lines, size_t *n);

// The bytes of s.
inline size_t length(span s)
{
	return s.e - s.s;
}

// Where the blanks at s, before e, end.
const char *skip_blanks(const char *s, const char *e);

// Where the line after the one at line starts, or end.
const char *next_line(const char *line, const char *end);

// The line [s, e) without its line end, LF or CR LF.
const char *strip_line_end(const char *s, const char *e);

// Tells whether the line [s, e) holds nothing but blanks and its end.
bool is_blank_line(const char *s, const char *e);

// Makes room for need elements of size bytes at *(void **)p, an array
// that has *room; returns false when memory runs out.
bool make_room(void *p, size_t *room, size_t need, size_t size);

// Closes fd, which was only looked through or will not be read, keeping
// errno for the caller to report.
void close_keeping_errno(int fd);

#endif

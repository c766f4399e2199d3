#ifndef QUENLET_INDEX_H
#define QUENLET_INDEX_H

#include <cstddef>

// The first line of an entry is read into this many bytes, less one.
constexpr size_t LINE_SIZE = 1024;
// Longest entry name a directory can yield.
constexpr size_t NAME_SIZE = 255;
// "=>", a fully escaped name, " ", the date, "  ", the longest title, "\n".
constexpr size_t LINK_SIZE = 2 + 3 * NAME_SIZE + 1 + 10 + 2 + (LINE_SIZE - 2) + 1;

// Returns name when it is a journal entry's name (YYYY-MM-DD, anything,
// ".gmi"), or nullptr.
const char *validate_name(const char *name);

// Writes to link the index line for the entry called name, a name that
// validate_name accepted, whose file begins with the n bytes of head
// (n < LINE_SIZE), and returns its length; returns 0 when head does not start
// with a heading or name is longer than NAME_SIZE.
size_t format_link(char *link, const char *name, const char *head, size_t n);

// Copies name into shown with every control byte replaced by "?", so that it
// cannot drive a terminal; shown holds NAME_SIZE + 1 bytes.
void show_name(char *shown, const char *name);

#endif

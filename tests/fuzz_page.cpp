// SPDX-License-Identifier: ISC
// Fuzzes the page: the input is an old index.gmi, given four entries of
// three years. Unless it is refused, the new page keeps the text around
// the list byte for byte, lists every entry, and a second run leaves it as
// it is.
#include "page.h"

#include <cstdint>
#include <cstdlib>
#include <string>

static void check(bool ok)
{
	if (!ok)
		abort();
}

// The new page made from old; false when old is refused.
static bool make_page(std::string old, std::string *out)
{
	static char lines[][48] = {"=>2025-01-05.gmi 2025-01-05   New", "=>2024-02-01%20b.gmi 2024-02-01   B",
				   "=>2024-01-01.gmi 2024-01-01  A", "=>2023-06-01.gmi 2023-06-01   Z"};
	static char *const index[] = {lines[0], lines[1], lines[2], lines[3]};
	page p;
	size_t bad, len;
	char *s;
	if (!read_page({old.data(), old.size()}, &p, &bad))
		return false;
	FILE *f = open_memstream(&s, &len);
	write_page(f, &p, index, 4, nullptr);
	fclose(f);
	out->assign(s, len);
	free(s);
	size_t head = p.list.s - old.data(), tail = old.data() + old.size() - p.list.e;
	check(!has_list(&p) || (out->compare(0, head, old, 0, head) == 0 && out->size() >= head + tail &&
				out->compare(out->size() - tail, tail, old, old.size() - tail, tail) == 0));
	free_page(&p);
	for (const char *target : {"2025-01-05.gmi", "2024-02-01%20b.gmi", "2024-01-01.gmi", "2023-06-01.gmi"})
		check(out->find(target) != std::string::npos);
	return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string first, second;
	if (make_page(std::string((const char *)data, size), &first))
		check(make_page(first, &second) && second == first);
	return 0;
}

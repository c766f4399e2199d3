// SPDX-License-Identifier: ISC
// Fuzzes the page: the input is an old index.gmi, given four entries of
// three years. Whatever it holds, either it is refused, or the new page
// keeps the text before and after its list byte for byte, lists every
// entry, and is a page that a second run takes and leaves as it is.
#include "page.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static void check(bool ok)
{
	if (!ok)
		abort();
}

// The new page made from old; false when old is refused.
static bool make_page(const std::string &old, std::string *out)
{
	static char lines[][48] = {"=>2025-01-05.gmi 2025-01-05   New", "=>2024-02-01%20b.gmi 2024-02-01   B",
				   "=>2024-01-01.gmi 2024-01-01  A", "=>2023-06-01.gmi 2023-06-01   Z"};
	static char *const index[] = {lines[0], lines[1], lines[2], lines[3]};
	std::string copy = old;
	page p;
	size_t bad;
	if (!read_page({copy.data(), copy.size()}, &p, &bad))
		return false;
	char *s = nullptr;
	size_t len = 0;
	FILE *f = open_memstream(&s, &len);
	write_page(f, &p, index, 4, nullptr);
	fclose(f);
	out->assign(s, len);
	free(s);
	if (has_list(&p)) {
		std::string head(copy.data(), p.list.s - copy.data()), tail(p.list.e, copy.data() + copy.size() - p.list.e);
		check(out->compare(0, head.size(), head) == 0);
		check(out->size() >= head.size() + tail.size());
		check(out->compare(out->size() - tail.size(), tail.size(), tail) == 0);
	}
	free_page(&p);
	for (const char *target : {"2025-01-05.gmi", "2024-02-01%20b.gmi", "2024-01-01.gmi", "2023-06-01.gmi"})
		check(out->find(target) != std::string::npos);
	return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string first, second;
	if (make_page(std::string((const char *)data, size), &first)) {
		check(make_page(first, &second));
		check(second == first);
	}
	return 0;
}

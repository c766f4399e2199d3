// Fuzzes the entry name filter: it must accept exactly the names of the form
// YYYY-MM-DD, anything, ".gmi", and answer with the very string it was given.
#include "index.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

static bool is_entry_name(const char *s, size_t len)
{
	static const char shape[] = "0000-00-00";
	if (len < 14 || memcmp(s + len - 4, ".gmi", 4) != 0)
		return false;
	for (size_t i = 0; i < 10; i++) {
		bool ok = shape[i] == '0' ? s[i] >= '0' && s[i] <= '9' : s[i] == '-';
		if (!ok)
			return false;
	}
	return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	char name[NAME_SIZE + 1];
	size_t len = strnlen((const char *)data, size < NAME_SIZE ? size : NAME_SIZE);
	memcpy(name, data, len);
	name[len] = '\0';

	const char *got = validate_name(name);
	if (got != (is_entry_name(name, len) ? name : nullptr))
		abort();
	return 0;
}

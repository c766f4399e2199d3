// SPDX-License-Identifier: ISC
// Fuzzes the entry name filter and the name shown in messages: the filter
// must accept exactly the names of the form YYYY-MM-DD, anything, ".gmi",
// and answer with the very string it was given; the shown name must be the
// name with each control character, line or paragraph separator,
// bidirectional mark or control and byte outside well-formed UTF-8 replaced
// by one "?".
#include "core.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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

// Decodes s by code point, then rejects overlong forms, surrogates and code
// points past U+10FFFF.
static std::string expect_shown(const unsigned char *s, size_t len)
{
	static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
	std::string shown;
	for (size_t i = 0; i < len;) {
		unsigned c = s[i];
		size_t n = c < 0x80 ? 1 : c >> 5 == 6 ? 2 : c >> 4 == 14 ? 3 : c >> 3 == 30 ? 4 : 0;
		uint32_t point = n == 1 ? c : c & (0x7F >> n);
		bool ok = n > 0 && i + n <= len;
		for (size_t k = 1; ok && k < n; k++) {
			ok = s[i + k] >> 6 == 2;
			point = point << 6 | (s[i + k] & 0x3F);
		}
		ok = ok && point >= least[n] && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
		if (!ok) {
			shown += '?';
			i++;
			continue;
		}
		bool control = point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x061C ||
			       point == 0x200E || point == 0x200F || (point >= 0x2028 && point <= 0x202E) ||
			       (point >= 0x2066 && point <= 0x2069);
		shown.append(control ? "?" : (const char *)s + i, control ? 1 : n);
		i += n;
	}
	return shown;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string name((const char *)data, strnlen((const char *)data, size));

	const char *got = validate_name(name.c_str());
	if (got != (is_entry_name(name.c_str(), name.size()) ? name.c_str() : nullptr))
		abort();

	// No byte to spare, before or after.
	std::unique_ptr<char[]> text(new char[name.size()]), shown(new char[name.size()]);
	memcpy(text.get(), name.data(), name.size());
	size_t len = show_text(shown.get(), text.get(), name.size());
	if (std::string(shown.get(), len) != expect_shown((const unsigned char *)name.data(), name.size()))
		abort();
	return 0;
}

// SPDX-License-Identifier: ISC
// Fuzzes the page: the input is an old index.gmi, merged with four entries
// of three years and one left out. The new page keeps every line of the
// author in order, but for blank lines and the lines of entries (links to
// a dated name), and headings only where a name is gone; links every
// entry with a heading, adds no line for an entry already linked, and a
// second run leaves it as it is. The input is an entry's body too: the
// feed made of the page, with that entry's summary and content, is UTF-8
// with no control character but tab and line feed, and the summary is of
// 300 characters at most.
#include "feed.h"
#include "journal.h"
#include "page.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static void check(bool ok)
{
	if (!ok)
		abort();
}

// The newest entry's month and day are any two digits the input's last
// bytes give: 00, 13 and 99 too.
static char newest[] = "2025-01-05.gmi";
static entry entries[] = {
	{newest, "# New\n", 6, NO_HEADING, 0, 0, {}, {}, {}}, {"2024-03-01.gmi", nullptr, 0, NO_HEADING, 0, 0, {}, {}, {}},
	{"2024-02-01 b.gmi", "#B\r\n", 4, NO_HEADING, 0, 0, {}, {}, {}}, {"2024-01-01.gmi", "# A", 3, NO_HEADING, 0, 0, {}, {}, {}},
	{"2023-06-01.gmi", "## Z\n", 5, NO_HEADING, 0, 0, {}, {}, {}},
};

static const char *const names[] = {"3.gmi"};

// Tells whether line links a name that starts with a date and ends in
// ".gmi", an entry's or one gone.
static bool is_dated_link(std::string line)
{
	line.resize(line.size() - (!line.empty() && line.back() == '\r'));
	size_t at = line.find_first_not_of(" \t", 2), end = line.find_first_of(" \t", at);
	std::string target = line.compare(0, 2, "=>") || at == std::string::npos ? "" : line.substr(at, end - at);
	std::string name = target.substr(target.rfind('/') + 1);
	return name.size() >= 14 && name.compare(name.size() - 4, 4, ".gmi") == 0 && name[4] == '-' && name[7] == '-';
}

// The lines of s, without their line ends; with text, only the author's,
// without a final CR: with headings where gone is false.
static std::vector<std::string> split(const std::string &s, bool text, bool gone = false)
{
	std::vector<std::string> lines;
	for (size_t at = 0, end; at < s.size(); at = end + 1) {
		end = s.find('\n', at);
		end = end == std::string::npos ? s.size() : end;
		std::string line = s.substr(at, end - at);
		// An old last line without a line end gets the page's, CR LF too.
		line.resize(line.size() - (text && !line.empty() && line.back() == '\r'));
		if (!text || (line.find_first_not_of(" \t\r") != std::string::npos && !(gone && line[0] == '#') && !is_dated_link(line)))
			lines.push_back(line);
	}
	return lines;
}

// How many link lines of s link target, after a "/" or alone.
static int count_links(const std::string &s, const std::string &target)
{
	int n = 0;
	for (auto line : split(s, false)) {
		line.resize(line.size() - (!line.empty() && line.back() == '\r'));
		size_t at = line.find_first_not_of(" \t", 2), end = line.find_first_of(" \t", at);
		std::string link = line.compare(0, 2, "=>") || at == std::string::npos ? "" : line.substr(at, end - at);
		n += link == target || (link.size() > target.size() && link.compare(link.size() - target.size() - 1, std::string::npos, "/" + target) == 0);
	}
	return n;
}

// Writes the feed of p, old being its first entry's body too.
static void check_feed(const page *p, const std::string &old)
{
	// Its title may follow links back and banners.
	span body = {old.data(), old.data() + old.size()};
	size_t stop;
	const char *title = !old.empty() && old[0] == '#' ? body.s : find_title_line(body, &stop);
	check(!title || (*title == '#' && (title == body.s || stop > 0)));
	char summary[SUMMARY_SIZE], *s;
	size_t len, n = title ? make_summary({title, body.e}, summary) : 0, chars = 0;
	bool cut;
	entries[0].summary = {summary, summary + n};
	entries[0].content = title ? find_content(body, title, &cut) : span{};
	FILE *f = open_memstream(&s, &len);
	if (p->n_items && p->items[0].date)
		write_feed(f, p, p->items, 3, "T", 1);
	check(fclose(f) == 0);
	for (size_t i = 0; i < n; i += measure_utf8((const unsigned char *)summary + i, n - i))
		check(measure_utf8((const unsigned char *)summary + i, n - i) > 0 && ++chars <= 300);
	for (size_t i = 0, c; i < len; i += c) {
		c = measure_utf8((const unsigned char *)s + i, len - i);
		check(c > 0 && ((unsigned char)s[i] >= ' ' || s[i] == '\t' || s[i] == '\n'));
	}
	free(s);
	entries[0].summary = entries[0].content = {};
}

// The new page made from old.
static std::string make_page(std::string old)
{
	page p;
	char *s;
	size_t len;
	check(read_page({old.data(), old.size()}, entries, 5, names, 1, "gemini://h/log", true, &p) && merge_entries(&p));
	FILE *f = open_memstream(&s, &len);
	write_page(f, &p, nullptr);
	check(fclose(f) == 0);
	for (size_t i = 1; i < p.n_items; i++)
		check(p.items[i - 1].date >= p.items[i].date);
	check_feed(&p, old);
	// A date off the calendar is left out of a page that cannot show it.
	bool shown = may_write_date(&p, p.entry_dates[0]);
	free_page(&p);
	std::string out(s, len);
	free(s);
	// A heading goes only with the lines it headed, of names gone (or
	// rewritten).
	bool gone = false;
	auto was = split(old, false), all = split(out, false);
	for (auto &line : was)
		gone = gone || (is_dated_link(line) && std::count(all.begin(), all.end(), line) < std::count(was.begin(), was.end(), line));
	auto text = split(old, true, gone), kept = split(out, true, gone);
	size_t next = 0;
	for (size_t i = 0; i < kept.size() && next < text.size(); i++)
		next += kept[i] == text[next];
	check(next == text.size());
	for (const char *target : {(const char *)newest, "2024-02-01%20b.gmi", "2024-01-01.gmi", "2023-06-01.gmi"}) {
		int before = count_links(old, target), after = count_links(out, target);
		check(after == before || after == before + 1);
		check(after >= 1 || (target == newest && !shown));
	}
	return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	for (size_t i = 0; i < 2 && i < size; i++) {
		newest[5 + 3 * i] = (char)('0' + data[size - 1 - i] / 10 % 10);
		newest[6 + 3 * i] = (char)('0' + data[size - 1 - i] % 10);
	}
	std::string first = make_page(std::string((const char *)data, size));
	check(make_page(first) == first);
	return 0;
}

// SPDX-License-Identifier: ISC
// Runs the built quenlet on journals made in a temporary folder and checks
// its standard output, standard error and exit status byte for byte.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <grp.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using std::string;

// The programs under test: this build's, or a cross build's in the folder
// QUENLET_CROSS, run under emulation, where the rows that need strace or the
// preloaded shim are skipped.
static const char *const cross = getenv("QUENLET_CROSS");
static const string QUENLET = cross ? string(cross) + "/quenlet" : QUENLET_BUILT;
static const string GEMLOG_INDEX = cross ? string(cross) + "/gemlog-index" : GEMLOG_INDEX_BUILT;

struct Outcome {
	string out, err;
	int status;  // exit status, or -1 when it had to be killed
	bool operator==(const Outcome &o) const
	{
		return out == o.out && err == o.err && status == o.status;
	}
};

static void PrintTo(const Outcome &r, std::ostream *os)
{
	*os << "stdout " << ::testing::PrintToString(r.out) << ", stderr "
	    << ::testing::PrintToString(r.err) << ", status " << r.status;
}

// Runs argv in cwd with stdout to out_fd (a pipe when -1), killing it after
// a minute, or four under emulation: a limit that only a hang reaches.
static Outcome run(std::vector<string> argv, const string &cwd = ".", int out_fd = -1)
{
	int out[2], err[2];
	if (pipe(out) || pipe(err))
		abort();
	pid_t pid = fork();
	if (pid == 0) {
		setpgid(0, 0);  // so that a timeout kills what strace traces too
		dup2(out_fd == -1 ? out[1] : out_fd, 1);
		dup2(err[1], 2);
		close_range(3, ~0U, 0);
		if (out_fd == -2)
			close(1);
		std::vector<char *> args;
		for (auto &a : argv)
			args.push_back(a.data());
		args.push_back(nullptr);
		if (chdir(cwd.c_str()) == 0)
			execvp(args[0], args.data());
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	Outcome r{};
	struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
	string *sinks[2] = {&r.out, &r.err};
	int open_fds = 2, waited = 0;
	while (open_fds > 0 && waited < (cross ? 240000 : 60000)) {
		if (poll(fds, 2, 100) == 0)
			waited += 100;
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || !fds[i].revents)
				continue;
			char buf[65536];
			ssize_t n = read(fds[i].fd, buf, sizeof buf);
			if (n > 0) {
				sinks[i]->append(buf, n);
			} else {
				close(fds[i].fd);
				fds[i].fd = -1;
				open_fds--;
			}
		}
	}
	bool killed = open_fds > 0 && kill(-pid, SIGKILL) == 0;
	int status;
	waitpid(pid, &status, 0);
	r.status = killed || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
	return r;
}

class Journal : public ::testing::Test {
protected:
	string dir;
	void SetUp() override
	{
		char tmpl[] = "/tmp/quenlet-test-XXXXXX";
		ASSERT_NE(mkdtemp(tmpl), nullptr);
		dir = tmpl;
	}
	void TearDown() override { fs::remove_all(dir); }

	// Tells whether a row can run here, where it may need strace, the
	// preloaded shim or root; say_skipped reports the rows that could not,
	// by the order they asked.
	bool can_run(bool strace, bool shim, bool root = false, const string &acl_on = "", bool slow = false)
	{
		static const bool have_strace = system("strace -V >/dev/null 2>&1") == 0;
		string lack = cross && (strace || shim) ? "strace or the shim outside emulation" :
			      cross && slow ? "a file of 256 MiB, slow under emulation" :
			      strace && !have_strace ? "strace" : shim && !*SHIM ? "the preload shim" :
			      root && geteuid() != 0 ? "root" : "";
		if (lack.empty() && !acl_on.empty() && system(("setfacl -m " + acl_on + " 2>/dev/null").c_str()) != 0)
			lack = "setfacl and a file system with ACLs";
		asked++;
		if (!lack.empty())
			skipped[lack].push_back(asked);
		return lack.empty();
	}
	// Reports the rows skipped, by the order they asked, in runs: the whole
	// test as skipped where none ran.
	void say_skipped(bool none_ran = false)
	{
		for (auto &lack : skipped) {
			if (none_ran)
				GTEST_SKIP() << "it needs " << lack.first << ", missing here";
			string rows;
			for (size_t i = 0, j; i < lack.second.size(); i = j) {
				for (j = i + 1; j < lack.second.size() && lack.second[j] == lack.second[j - 1] + 1;)
					j++;
				rows += (rows.empty() ? "" : ", ") + std::to_string(lack.second[i]) +
					(j - i > 1 ? "-" + std::to_string(lack.second[j - 1]) : "");
			}
			printf("[ SKIPPED  ] rows %s, for want of %s\n", rows.c_str(), lack.first.c_str());
		}
	}
	int asked = 0;
	std::map<string, std::vector<int>> skipped;

	string put(const string &name, const string &content, const string &in = "")
	{
		string path = (in.empty() ? dir : in) + "/" + name;
		int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		EXPECT_GE(fd, 0) << path;
		EXPECT_EQ(write(fd, content.data(), content.size()), (ssize_t)content.size());
		close(fd);
		return path;
	}
	// A fresh folder holding one file.
	string single(const string &name, const string &content)
	{
		string sub = dir + "/" + std::to_string(++count);
		mkdir(sub.c_str(), 0755);
		put(name, content, sub);
		return sub;
	}
	Outcome quenlet(const string &d, const string &cwd = ".", int out_fd = -1)
	{
		return run({QUENLET, d}, cwd, out_fd);
	}
	// Fills d with entries whose index is exactly bytes long, at least 2000.
	void fill(const string &d, size_t bytes)
	{
		// Each line is 36 bytes and the title.
		auto add = [&](size_t i, size_t line) {
			put("2024-01-01-" + std::to_string(10000 + i) + ".gmi",
			    "#" + string(line - 36, 't') + "\n", d);
		};
		size_t full = bytes / 1000 - 1, rest = bytes - full * 1000;
		for (size_t i = 0; i < full; i++)
			add(i, 1000);
		add(full, rest / 2);
		add(full + 1, rest - rest / 2);
	}
	void put_link(const string &target, const string &path, uid_t owner = 0)
	{
		ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
		if (owner) {
			ASSERT_EQ(lchown(path.c_str(), owner, owner), 0) << path;
		}
	}
	void make_socket(const string &path)
	{
		struct sockaddr_un addr{};
		addr.sun_family = AF_UNIX;
		snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
		int s = socket(AF_UNIX, SOCK_STREAM, 0);
		ASSERT_EQ(bind(s, (struct sockaddr *)&addr, sizeof addr), 0) << path;
		close(s);
	}
	int count = 0;

	// argv run, as root, where the user and group databases are the
	// tests': alice (4242, with a private group) and bob (4243) in the
	// group journal (4300), listed and as his primary group, dave (4245)
	// listed in a second line of it and gus (4248) by his primary group, as
	// zed (4249) is in root's group;
	// carol (4244), fay (4247) in carol's group, and eve (4246) outside it;
	// passwd's sources are sources, or with none there is no nsswitch.conf,
	// and /run/userdb holds the file record.
	std::vector<string> with_users(std::vector<string> argv, const string &sources = "files", const string &record = "")
	{
		if (geteuid() != 0)
			return argv;
		string passwd = put(".passwd", "root:x:0:0::/:/bin/sh\nalice:x:4242:4242::/:/bin/sh\n"
					       "bob:x:4243:4300::/:/bin/sh\ncarol:x:4244:4244::/:/bin/sh\n"
					       "dave:x:4245:4245::/:/bin/sh\neve:x:4246:4246::/:/bin/sh\n"
					       "fay:x:4247:4244::/:/bin/sh\ngus:x:4248:4300::/:/bin/sh\nzed:x:4249:0::/:/bin/sh\n");
		string group = put(".group", "root:x:0:\nalice:x:4242:\njournal:x:4300:alice\ncarol:x:4244:\nstaff:x:4300:dave\n");
		string nss = put(".nsswitch", "passwd: " + sources + "\ngroup: files\n");
		string etc = sources.empty() ? "mount -t tmpfs none /etc && cp \"$1\" /etc/passwd && cp \"$2\" /etc/group && " :
						 "mount --bind \"$1\" /etc/passwd && mount --bind \"$2\" /etc/group && mount --bind \"$3\" /etc/nsswitch.conf && ";
		argv.insert(argv.begin(), {"unshare", "-m", "sh", "-c", etc + "mount -t tmpfs none /run && "
					   "{ [ -z \"$4\" ] || { mkdir /run/userdb && : >\"/run/userdb/$4\"; }; } && shift 4 && exec \"$@\"",
					   "sh", passwd, group, nss, record});
		return argv;
	}
};

// argv under strace, with options, logging to log, and openat2 missing, as
// before Linux 5.6 or under a seccomp filter: nothing may need it.
// LeakSanitizer, in sanitizer builds, cannot run under ptrace. Calls are
// named by patterns where architectures differ: arm64 has no open or
// renameat.
static std::vector<string> traced(const string &log, const std::vector<string> &options,
				  const std::vector<string> &argv)
{
	std::vector<string> all = {"strace", "--quiet=all", "-o", log, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e", "inject=openat2:error=ENOSYS"};
	all.insert(all.end(), options.begin(), options.end());
	all.insert(all.end(), argv.begin(), argv.end());
	return all;
}

// Counts the calls in an strace log that start with call, hold with and
// succeeded.
static int count_calls(const string &log, const string &call, const char *with = "")
{
	FILE *f = fopen(log.c_str(), "r");
	if (!f)
		return -1;
	int n = 0;
	char line[4096];
	while (fgets(line, sizeof line, f))
		n += strncmp(line, call.c_str(), call.size()) == 0 && strstr(line, with) &&
		     !strstr(line, " = -1 ");
	fclose(f);
	return n;
}

// The text of the file at path, empty when there is none.
static string read_file(const string &path)
{
	string text;
	FILE *f = fopen(path.c_str(), "r");
	for (char buf[65536]; f && !feof(f) && !ferror(f);)
		text.append(buf, fread(buf, 1, sizeof buf, f));
	return f && fclose(f) == 0 ? text : "";
}

// Counts the opens for reading in an strace log of open and openat: only
// quenlet's opens of entries ask for O_NOCTTY.
static int count_reading_opens(const string &log)
{
	return count_calls(log, "open", "O_NOCTTY");
}

TEST_F(Journal, CommandLine)
{
	const string usage = "Usage: quenlet <dirname>\n"
			     "Generates an index of all quenlet entries in the directory\n";
	const string fail = "Could not open current directory";
	string file = put("plain", "x");
	EXPECT_EQ(run({QUENLET}), (Outcome{usage, "", 1}));
	EXPECT_EQ(run({QUENLET, "-h"}, dir), (Outcome{fail, "", 1}));
	EXPECT_EQ(run({QUENLET, ""}), (Outcome{fail, "", 1}));
	EXPECT_EQ(run({QUENLET, file}), (Outcome{fail, "", 1}));
	EXPECT_EQ(run({QUENLET, dir + "/missing"}), (Outcome{fail, "", 1}));
	fs::remove(file);
	EXPECT_EQ(run({QUENLET, dir, "/nonexistent", "more"}), (Outcome{"", "", 0}));
	mkdir((dir + "/-d").c_str(), 0755);
	put("2021-03-04.gmi", "# Dash\n", dir + "/-d");
	EXPECT_EQ(run({QUENLET, "-d"}, dir), (Outcome{"=>2021-03-04.gmi 2021-03-04   Dash\n", "", 0}));

	// gemlog-index's options as GNU's tools take them, from dir; its output
	// to /dev/full when full.
	const string index_usage = "usage: gemlog-index [-nq] [-u URL [--content] [--limit N]] [--] DIR [TITLE]\n", page = "=>2021-03-04.gmi 2021-03-04   Dash\n";
	const string g = GEMLOG_INDEX, url = "gemini://x/", full = "gemlog-index: cannot write standard output: No space left on device\n";
	mkdir((dir + "/empty").c_str(), 0755);
	// Days and their ordinals, as a page of years and months writes them.
	mkdir((dir + "/ord").c_str(), 0755);
	for (string day : {"02-03", "02-12", "01-20", "01-21", "01-22"})
		put("2024-" + day + ".gmi", "# D" + day.substr(3) + "\n", dir + "/ord");
	put("index.gmi", "# Log\n## 2023\n### Dec 2023\n=> x.gmi X - Dec 11th, 2023\n", dir + "/ord");
	const struct {
		std::vector<string> args;
		string out, err;
		int status;
		bool full = false;
	} rows[] = {
		{{g}, "", "gemlog-index: no DIR given\n" + index_usage, 1},
		{{g, "-u", url}, "", "gemlog-index: no DIR given\n" + index_usage, 1},
		{{g, "-n", "d", "T", "x"}, "", "gemlog-index: more than DIR and TITLE given\n" + index_usage, 1},
		{{g, "-n", "-u"}, "", "gemlog-index: -u: needs a URL\n" + index_usage, 1},
		{{g, "-x", "-d"}, "", "gemlog-index: -x: unknown option\n" + index_usage, 1},
		{{g, "-u", url, "--limit", "0", "./-d"}, "", "gemlog-index: --limit: needs a whole number from 1\n" + index_usage, 1},
		{{g, "-u", url, "--lim=-2", "./-d"}, "", "gemlog-index: --lim: needs a whole number from 1\n" + index_usage, 1},
		{{g, "-u", url, "./-d", "--limit"}, "", "gemlog-index: --limit: needs a whole number from 1\n" + index_usage, 1},
		{{g, "--limit", "2x", "./-d"}, "", "gemlog-index: --limit: needs a whole number from 1\n" + index_usage, 1},
		{{g, "-u", url, "--limit=99999999999999999999", "./-d"}, "", "gemlog-index: --limit: too large\n" + index_usage, 1},
		{{g, "-u", "localhost/\x1b", "./-d"}, "", "gemlog-index: -u: localhost/?: not an absolute URL (scheme://host/path/) in "
		 "printable ASCII\n" + index_usage, 1},
		{{g, "--bogus=1", "./-d"}, "", "gemlog-index: --bogus: unknown option\n" + index_usage, 1},
		{{g, "--help=foo"}, "", "gemlog-index: --help: takes no value\n" + index_usage, 1},
		{{g, "--url=" + url, "-Vn", "./-d"}, "", "gemlog-index: -V: unknown option\n" + index_usage, 1},
		{{g, "./-d", "--url"}, "", "gemlog-index: --url: needs a URL\n" + index_usage, 1},
		{{g, "--content", "./-d"}, "", "gemlog-index: --content and --limit shape the feed, which only -u publishes\n" + index_usage, 1},
		{{g, "-u", "gemini://x/?q=1", "./-d"}, "", "gemlog-index: -u: the journal's URL holds no query (?) and no fragment (#)\n" + index_usage, 1},
		{{g, "-u", "gemini://x/#top", "./-d"}, "", "gemlog-index: -u: the journal's URL holds no query (?) and no fragment (#)\n" + index_usage, 1},
		{{g, "./-d", "-n"}, page, "", 0}, {{g, "-nu", url, "--", "-d"}, page, "", 0},
		{{g, "--url=" + url, "-n", "./-d"}, page, "", 0}, {{g, "-u" + url, "--dry-run", "./-d"}, page, "", 0},
		{{g, "./-d", " \t"}, "", "gemlog-index: TITLE is empty\n" + index_usage, 1},
		{{g, "empty"}, "", "gemlog-index: empty holds no entries (files named YYYY-MM-DD\u2026.gmi whose first line is a "
		 "heading); nothing written\n", 1},
		{{g, "--version"}, "gemlog-index " QUENLET_VERSION "\n", "", 0},
		{{g, "-n", "ord"}, "# Log\n## 2024\n### Feb 2024\n=> 2024-02-12.gmi D12 - Feb 12th, 2024\n=> 2024-02-03.gmi D03 - Feb 3rd, 2024\n\n"
		 "### Jan 2024\n=> 2024-01-22.gmi D22 - Jan 22nd, 2024\n=> 2024-01-21.gmi D21 - Jan 21st, 2024\n=> 2024-01-20.gmi D20 - Jan 20th, 2024\n\n"
		 "## 2023\n### Dec 2023\n=> x.gmi X - Dec 11th, 2023\n", "", 0},
		{{g, "-n", "./-d"}, "", full, 1, true}, {{g, "--version"}, "", full, 1, true}, {{g, "--help", "-d"}, "", full, 1, true},
	};
	for (auto &row : rows) {
		int out = row.full ? open("/dev/full", O_WRONLY) : -1;
		EXPECT_EQ(run(row.args, dir, out), (Outcome{row.out, row.err, row.status})) << row.args.back();
		close(out);
	}
	for (const char *help : {"-h", "--help"})
		EXPECT_EQ(run({g, "./-d", help}, dir).out.substr(0, index_usage.size()), index_usage);
	EXPECT_FALSE(fs::exists(dir + "/-d/index.gmi")) << "published under --help or -n";
}

TEST_F(Journal, EntryNames)
{
	const struct {
		string name, link;  // link is empty for a rejected name
	} rows[] = {
		{"2021-03-04.gmi", "=>2021-03-04.gmi 2021-03-04"},
		{"2021-03-04-spring.gmi", "=>2021-03-04-spring.gmi 2021-03-04"},
		{"2021-03-04_x.gmi", "=>2021-03-04_x.gmi 2021-03-04"},
		{"2021-03-04.gmi.gmi", "=>2021-03-04.gmi.gmi 2021-03-04"},
		{"0000-00-00.gmi", "=>0000-00-00.gmi 0000-00-00"},
		{"2021-13-45.gmi", "=>2021-13-45.gmi 2021-13-45"},
		{"2021-03-04 x.gmi", "=>2021-03-04%20x.gmi 2021-03-04"},
		{"2021-03-04T1726.gmi", "=>2021-03-04T1726.gmi 2021-03-04"},
		{"2021-3-04.gmi", ""}, {"2021-03-4.gmi", ""}, {"2021-03-04gmi", ""},
		{"2021-03-04.GMI", ""}, {"2021-03-04.Gmi", ""}, {"2021-03-04.gmi~", ""},
		{"2021-03-04xgmi", ""}, {"2021-03-04.gmx", ""}, {"2021-03-04.md", ""},
		{"x021-03-04.gmi", ""}, {"2x21-03-04.gmi", ""}, {"20x1-03-04.gmi", ""},
		{"202x-03-04.gmi", ""}, {"2021x03-04.gmi", ""}, {"2021-x3-04.gmi", ""},
		{"2021-0x-04.gmi", ""}, {"2021-03x04.gmi", ""}, {"2021-03-x4.gmi", ""},
		{"2021-03-0x.gmi", ""}, {"20210304abcd.gmi", ""}, {"2021.03.04.gmi", ""},
		{"index.gmi", ""}, {"2023-10-cartas.gmi", ""}, {" 2021-03-04.gmi", ""},
		{"\xef\xbc\x92\xef\xbc\x90\xef\xbc\x92\xef\xbc\x91-03-04.gmi", ""},
		{"\xd9\xa2\xd9\xa0\xd9\xa2\xd9\xa1-03-04.gmi", ""},
	};
	for (auto &row : rows) {
		string out = row.link.empty() ? "" : row.link + "   T\n";
		EXPECT_EQ(quenlet(single(row.name, "# T\n")), (Outcome{out, "", 0})) << row.name;
	}
}

TEST_F(Journal, FirstLines)
{
	const string x1021(1021, 'x');
	const struct {
		string head, title;  // title is empty when the entry is refused
	} rows[] = {
		{"# Spring\n", " Spring"},
		{"#Spring\n", "Spring"},
		{"## Two\nbody\n# Not this\n", "# Two"},
		{"#\n", ""},
		{"#", ""},
		{"# No line end", " No line end"},
		{"# CRLF\r\n", " CRLF\r"},
		{"# Trailing \n", " Trailing "},
		{"# Lone\rCR\n", " Lone\rCR"},
		{string("# A\0B\n", 6), " A"},
		{string("#\0\n", 3), ""},
		{"# 20 Nov 🦃\n", " 20 Nov 🦃"},
		{"#" + string(1100, 'y') + "\n", string(1022, 'y')},
		{"#" + string(1022, 'y') + "\nnext\n", string(1022, 'y')},
		{"#" + x1021 + "\n", x1021},
		{"#" + string(1020, 'x') + "é", string(1020, 'x') + "é"},
		{"#" + x1021 + "é", x1021},
		{"#" + x1021 + "€", x1021},
		{"#" + string(1020, 'x') + "€", string(1020, 'x')},
		{"#" + string(1019, 'x') + "🦃", string(1019, 'x')},
		{"#" + string(1018, 'x') + "🦃", string(1018, 'x') + "🦃"},
		{"#" + x1021 + "\xff\xfe", x1021 + "\xff"},
		{"#" + string(1020, 'x') + "\xe0\x80", string(1020, 'x') + "\xe0\x80"},
		{"#" + string(1020, 'x') + "\x80\x80", string(1020, 'x') + "\x80\x80"},
		{"# x\xe2\x82", " x\xe2\x82"},
		{"#" + string(1020, 'x') + "\xe0\xa0", string(1020, 'x')},
		{"#" + string(1020, 'x') + "\xe0\x9f", string(1020, 'x') + "\xe0\x9f"},
		{"#" + string(1020, 'x') + "\xf0\x90", string(1020, 'x')},
		{"#" + string(1020, 'x') + "\xf0\x8f", string(1020, 'x') + "\xf0\x8f"},
		{string("# x\xc3\0y\n", 7), " x\xc3"},
	};
	for (auto &row : rows) {
		string out = "=>2021-03-04.gmi 2021-03-04  " + row.title + "\n";
		string d = single("2021-03-04.gmi", row.head);
		EXPECT_EQ(quenlet(d), (Outcome{out, "", 0})) << row.head;
		if (can_run(false, true)) {
			EXPECT_EQ(run({"env", "LD_PRELOAD=" SHIM, "SHIM_READ=7", QUENLET_DYNAMIC, d}),
				  (Outcome{out, "", 0})) << "read 7 bytes at a time: " << row.head;
		}
	}
	const char *refused[] = {"", "\n# Blank\n", " # Space\n", "\xef\xbb\xbf# BOM\n",
				 "=> / Home\n", "Why use Python when you can Go?"};
	for (const char *head : refused)
		EXPECT_EQ(quenlet(single("2021-03-04.gmi", head)),
			  (Outcome{"", "Could not process file 2021-03-04.gmi\n", 0})) << head;
	say_skipped();
}

TEST_F(Journal, TargetsArePercentEncoded)
{
	const struct {
		string name, target;
	} rows[] = {
		{"2021-03-04 a b.gmi", "2021-03-04%20a%20b.gmi"},
		{"2021-03-04#x?y%z.gmi", "2021-03-04%23x%3Fy%25z.gmi"},
		{"2021-03-04:x.gmi", "2021-03-04%3Ax.gmi"},
		{"2021-03-04\n=>x.gmi", "2021-03-04%0A=%3Ex.gmi"},
		{"2021-03-04-pirater\xc3\xad" "a.gmi", "2021-03-04-pirater%C3%ADa.gmi"},
		{"2021-03-04-~!$&'()*+,;=@.gmi", "2021-03-04-~!$&'()*+,;=@.gmi"},
		{"2021-03-04\"<>[]\\^`{|}\t\x7f\xff.gmi",
		 "2021-03-04%22%3C%3E%5B%5D%5C%5E%60%7B%7C%7D%09%7F%FF.gmi"},
	};
	for (auto &row : rows)
		EXPECT_EQ(quenlet(single(row.name, "#T\n")),
			  (Outcome{"=>" + row.target + " 2021-03-04  T\n", "", 0})) << row.name;
}

TEST_F(Journal, NamesInMessagesCannotDriveTheTerminal)
{
	const struct {
		string name, shown;
	} rows[] = {
		{"2021-03-04\x1b[2J\x7f\n\t\xc3\xad.gmi", "2021-03-04?[2J???\xc3\xad.gmi"},
		{"2021-03-04\xc2\x9b" "2J\xc2\x80\xc2\x9f\xc2\xa0.gmi", "2021-03-04?2J??\xc2\xa0.gmi"},
		{"2021-03-04\x9b\xff\xfe.gmi", "2021-03-04???.gmi"},
		{"2021-03-04\xc0\xaf\xe0\x80\xaf.gmi", "2021-03-04?????.gmi"},
		{"2021-03-04\xed\xa0\x80\xed\x9f\xbf.gmi", "2021-03-04???\xed\x9f\xbf.gmi"},
		{"2021-03-04\xf4\x90\x80\x80\xf4\x8f\xbf\xbf.gmi", "2021-03-04????\xf4\x8f\xbf\xbf.gmi"},
		{"2021-03-04\xe2\x82x\xf0\x9f\xa6\x83\xf0\x9f\xa6.gmi", "2021-03-04??x\xf0\x9f\xa6\x83???.gmi"},
		// U+2028 to U+202E and U+2066 to U+2069, between their neighbours.
		{"2021-03-04\u2027\u2028\u2029\u202a\u202e\u202f.gmi", "2021-03-04\u2027????\u202f.gmi"},
		{"2021-03-04\u2065\u2066\u2069\u206a.gmi", "2021-03-04\u2065??\u206a.gmi"},
		{"2021-03-04\u200d\u200e\u200f\u2010\u061b\u061c\u061d\x1f.gmi", "2021-03-04\u200d??\u2010\u061b?\u061d?.gmi"},
		{"2021-03-04\xe0\xa0\x80\xe0\x9f\xbf\xf0\x90\x80\x80\xf0\x8f\xbf\xbf.gmi",
		 "2021-03-04\xe0\xa0\x80???\xf0\x90\x80\x80????.gmi"},
	};
	for (auto &row : rows)
		EXPECT_EQ(quenlet(single(row.name, "")),
			  (Outcome{"", "Could not process file " + row.shown + "\n", 0})) << row.name;
	string d = single("keep", "");
	put_link("/nonexistent", d + "/2021-03-04\r.gmi");
	EXPECT_EQ(quenlet(d), (Outcome{"", "Could not read file 2021-03-04?.gmi\n", 0}));
}

// On a terminal a title is shown as names in messages are, but for a
// carriage return that ends it.
TEST_F(Journal, TitlesOnATerminalCannotDriveIt)
{
	const struct {
		string head, shown;
	} rows[] = {
		{"# A\x1b]0;t\x07\x9b\r\n", " A?]0;t??\r"},
		{"# \xc2\x9b" "2J\u202e\u2066x\u2069\u2028\r", " ?2J??x??\r"},
		{"#x\ry\r\n", "x?y\r"},
		{"# \xc3\xa9 \U0001f983\tx\n", " \xc3\xa9 \U0001f983?x"},
		{"#\r\n", "\r"},
		{"# x\xc3\n", " x?"},
		{"# \u200e\u200f\u061c.\n", " ???."},
	};
	int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
	ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
	int out = open(ptsname(terminal), O_RDWR | O_NOCTTY);
	struct termios raw;
	ASSERT_EQ(tcgetattr(out, &raw), 0);
	cfmakeraw(&raw);
	ASSERT_EQ(tcsetattr(out, TCSANOW, &raw), 0);
	for (auto &row : rows) {
		EXPECT_EQ(quenlet(single("2021-03-04.gmi", row.head), ".", out), (Outcome{"", "", 0}));
		char shown[4096];
		ssize_t n = read(terminal, shown, sizeof shown);
		EXPECT_EQ(string(shown, n > 0 ? n : 0), "=>2021-03-04.gmi 2021-03-04  " + row.shown + "\n") << row.head;
	}
	// gemlog-index -n shows each line of the page so, its line ends kept.
	string d = single("2021-03-04.gmi", "# A\x1b]0;t\x07\r\n");
	put("index.gmi", "# T\x9b\u202e\r\r\n\r\n", d);
	EXPECT_EQ(run({GEMLOG_INDEX, "-n", d}, ".", out), (Outcome{"", "", 0}));
	char shown[4096];
	ssize_t n = read(terminal, shown, sizeof shown);
	EXPECT_EQ(string(shown, n > 0 ? n : 0), "# T???\r\n\r\n=>2021-03-04.gmi 2021-03-04   A?]0;t?\r\n");
	close(out);
	close(terminal);
}

// Names longer than the 255 bytes that tmpfs holds come from the shim; a "/"
// in one lets the open find a real file.
TEST_F(Journal, LongNamesAreHandledInFull)
{
	if (!can_run(true, true))
		return say_skipped(true);
	const string bad = "2021-03-04-" + string(3000, '\x9b') + "\xc2\x9b" + string(3000, 'x') + ".gmi";
	string path = "2021-03-04-d";
	for (int i = 0; i < 300; i++)
		path += "/.";
	path += "/e.gmi";
	string target = "2021-03-04-d";
	for (int i = 0; i < 300; i++)
		target += "%2F.";
	target += "%2Fe.gmi";
	put("long", "");
	mkdir((dir + "/2021-03-04-d").c_str(), 0755);
	put("e.gmi", "# Long\n", dir + "/2021-03-04-d");
	const string log = dir + "/trace";
	auto shimmed = [&](const string &name) {
		return run(traced(log, {"-e", "trace=write", "-E", "LD_PRELOAD=" SHIM, "-E", "SHIM_LONG=" + name},
				  {QUENLET_DYNAMIC, "."}), dir);
	};
	EXPECT_EQ(shimmed(bad), (Outcome{"", "Could not read file 2021-03-04-" + string(3001, '?') +
				 string(3000, 'x') + ".gmi\n", 0}));
	EXPECT_EQ(count_calls(log, "write(2,"), 1) << "one message, one write";
	EXPECT_EQ(shimmed(path), (Outcome{"=>" + target + " 2021-03-04   Long\n", "", 0}));
}

TEST_F(Journal, EntriesAreReadFromTheNamedFolder)
{
	string journal = single("2021-03-04.gmi", "# Journal\n");
	string elsewhere = single("2021-03-04.gmi", "# Elsewhere\n");
	const string link = "=>2021-03-04.gmi 2021-03-04   Journal\n";
	string relative = single("target", "# Journal\n"), absolute = single("x", "");
	put_link("target", relative + "/2021-03-04.gmi");
	put_link(relative + "/target", absolute + "/2021-03-04.gmi");
	put("target", "# Elsewhere\n", elsewhere);
	for (const string &d : {journal, relative, absolute}) {
		EXPECT_EQ(quenlet(d, elsewhere), (Outcome{link, "", 0})) << d;
		EXPECT_EQ(quenlet(d, "/"), (Outcome{link, "", 0})) << d;
	}
	EXPECT_EQ(quenlet(".", journal), (Outcome{link, "", 0}));

	// A short link target read after a longer one, whatever the order.
	string mixed = single("target", "# Journal\n");
	put("target-long", "# Long\n", mixed);
	put_link("target", mixed + "/2021-03-04.gmi");
	put_link("target-long", mixed + "/2021-03-05.gmi");
	put_link("target", mixed + "/2021-03-06.gmi");
	string out = quenlet(mixed).out;
	EXPECT_EQ(std::count(out.begin(), out.end(), 'J'), 2) << out;
}

TEST_F(Journal, IndexFollowsDirectoryOrderOneLineEach)
{
	for (int day = 1; day <= 28; day++) {
		char name[32];
		snprintf(name, sizeof name, "2021-02-%02d.gmi", day);
		put(name, day % 3 ? "# Day " + std::to_string(day) : "not a heading\n");
	}
	put("index.gmi", "# Index\n");
	mkdir((dir + "/2022").c_str(), 0755);
	string out, err;
	DIR *d = opendir(dir.c_str());
	while (struct dirent *e = readdir(d)) {
		string n = e->d_name;
		if (n.size() != 14 || n.compare(0, 5, "2021-"))
			continue;
		int day = std::stoi(n.substr(8, 2));
		if (day % 3)
			out += "=>" + n + " " + n.substr(0, 10) + "   Day " + std::to_string(day) + "\n";
		else
			err += "Could not process file " + n + "\n";
	}
	closedir(d);
	EXPECT_EQ(quenlet(dir), (Outcome{out, err, 0}));
	EXPECT_EQ(quenlet(dir + "/2022"), (Outcome{"", "", 0}));
}

// Whatever type the directory gives an entry (its own, unknown, or regular
// for a link swapped in after the folder was read), only a regular file, or
// a link to one that has the link's owner and is reached through no other
// link and through folders the owner may search, is ever opened; only one
// that whoever could have put it there could read, by its mode and ACL, is
// read. Placers and groups are with_users's.
TEST_F(Journal, OnlyRegularFilesAreOpened)
{
	const string read = "Could not read file 2021-03-04.gmi\n";
	const string process = "Could not process file 2021-03-04.gmi\n";
	const string good = "=>2021-03-04.gmi 2021-03-04   Target\n";
	const uid_t other = 4242;
	string named;  // entries for 200 users, to pass 128
	for (int u = 5000; u < 5200; u++)
		named += ",u:" + std::to_string(u) + ":-";
	const struct {
		string kind, link;  // link: where a link named like the entry points
		uid_t link_owner, file_owner;
		string out, err;
		mode_t mode = 0755;  // the folder's
		uid_t folder_owner = 0;
		gid_t group = 0;  // the folder's and the files'
		mode_t file_mode = 0600;
		string acl = "";  // the file's, as setfacl takes it
	} rows[] = {
		{"fifo", "", 0, 0, "", process},
		{"socket", "", 0, 0, "", process},
		{"folder", "", 0, 0, "", process},
		{"file", "", 0, 0, good, ""},
		{"link", "fifo", 0, 0, "", process},
		{"link", "socket", 0, 0, "", process},
		{"link", "folder", 0, 0, "", process},
		{"link", "/dev/null", 0, 0, "", process},
		{"link", "missing", 0, 0, "", read},
		{"link", "target", 0, 0, good, ""},
		{"link", "target", other, other, good, ""},
		{"link", "target", other, 0, "", process},
		{"link", "target", 0, other, "", process},
		{"link", "chain", 0, 0, "", process},
		{"link", "chain", other, other, "", process},
		{"link", "loop", 0, 0, "", process},
		{"link", "here/target", 0, 0, "", process},
		{"link", "here/missing", 0, 0, "", read},
		{"link", "./folder//../target", 0, 0, good, ""},
		{"link", "target/", 0, 0, "", read},
		{"file", "", 0, other, good, ""},
		{"file", "", 0, other, "", read, 0775, 0, 4300},
		{"file", "", 0, other, good, "", 0755, other},
		{"file", "", 0, other + 1, "", read, 0755, other},
		{"link", "target", other, other, "", read, 02775, 0, 4300},
		{"link", "target", other, other, good, "", 0755, other},
		{"file", "", 0, 4244, "", read, 0757},
		{"file", "", 0, 4244, "", read, 02775, other, 4300, 0604},
		{"file", "", 0, other, good, "", 02770, other, other, 0660},
		{"file", "", 0, other, "", read, 02770, other, 4399, 0660},
		{"file", "", 0, 4243, good, "", 02770, other, 4300, 0660},
		{"file", "", 0, 4243, "", read, 02775, other, 4300, 0644, "u:4242:-"},
		{"file", "", 0, 4244, good, "", 02775, other, 4300, 0600, "u:4242:r,u:4243:r,g:4300:r"},
		{"file", "", 0, 4244, good, "", 02775, other, 4300, 0600, "g:4300:r" + named},  // 205 entries
		{"file", "", 0, 4244, "", read, 0777, 0, 4300, 0644, "g:4244:-,g:4300:r"},  // anyone, but carol's group alone
		{"link", "private/target", 4243, 4243, "", read, 02775, other, 4300},
	};
	const string log = dir + "/trace";
	for (auto &row : rows) {
		if (!can_run(false, false, row.link_owner || row.file_owner))
			continue;
		string d = single("target", "# Target\n"), entry = d + "/2021-03-04.gmi";
		mkfifo((d + "/fifo").c_str(), 0644);
		make_socket(d + "/socket");
		mkdir((d + "/folder").c_str(), 0755);
		put_link("target", d + "/chain");
		put_link("loop", d + "/loop");
		put_link(".", d + "/here");
		mkdir((d + "/private").c_str(), 0700);  // carol's, where root runs the rows
		string hidden = put("target", "# Target\n", d + "/private");
		if (geteuid() == 0) {
			ASSERT_EQ(chown((d + "/private").c_str(), 4244, 4244) | chown(hidden.c_str(), row.link_owner, 0) |
					  chown(d.c_str(), row.folder_owner, row.group), 0);
		}
		chmod(d.c_str(), row.mode);
		if (row.kind == "fifo")
			mkfifo(entry.c_str(), 0644);
		else if (row.kind == "socket")
			make_socket(entry);
		else if (row.kind == "folder")
			mkdir(entry.c_str(), 0755);
		else if (row.kind == "file")
			put("2021-03-04.gmi", "# Target\n", d);
		else
			put_link(row.link, entry, row.link_owner);
		for (string file : {d + "/target", row.kind == "file" ? entry : d + "/target"})
			ASSERT_EQ(row.file_owner && (chown(file.c_str(), row.file_owner, row.group) | chmod(file.c_str(), row.file_mode)), 0);
		if (!row.acl.empty() && !can_run(false, false, false, row.acl + " " + entry))
			continue;

		for (const char *type : {"", "0", "8"}) {
			// Typed regular, a FIFO is opened: the one open of a regular
			// entry cannot tell one swapped in.
			if ((*type == '8' && row.kind != "link" && row.kind != "file") || (*type && !can_run(true, true)))
				continue;
			std::vector<string> options = {"-e", "trace=/^open"};
			if (*type)
				options.insert(options.end(), {"-E", "LD_PRELOAD=" SHIM, "-E", string("SHIM_TYPE=") + type});
			string what = row.kind + " " + row.link + " " + type;
			std::vector<string> argv = {*type ? QUENLET_DYNAMIC : QUENLET, d};
			bool count = can_run(true, false);  // under emulation, the outcome only
			EXPECT_EQ(run(with_users(count ? traced(log, options, argv) : argv), "/"), (Outcome{row.out, row.err, 0})) << what;
			// A file typed regular is opened before it is checked.
			if (count) {
				EXPECT_EQ(count_reading_opens(log), row.out.empty() ? row.kind == "file" && *type != '0' : 1) << what;
			}
		}
	}
	say_skipped();
}

// Random folders of with_users's users and entries in them, by owner,
// group, mode and access ACL, written as the kernel keeps it: both programs
// list an entry exactly when its owner and each user that the kernel lets
// write and search the folder, or everyone where others may, may open the
// entry, as a child that becomes each finds. QUENLET_SEED repeats a run.
TEST_F(Journal, PlacersAreWhomTheKernelLets)
{
	if (!can_run(false, false, true, "u:4242:r " + dir))
		return say_skipped(true);
	// The last four stand for anyone: in no group below, or in one alone,
	// root's too; they own nothing and no entry names them.
	const uid_t users[] = {4242, 4243, 4244, 4245, 4246, 4247, 4248, 4249};
	const std::vector<gid_t> groups[] = {{4242, 4300}, {4300}, {4244}, {4245, 4300}, {4246}, {4244}, {4300}, {0}};
	const gid_t used[] = {4244, 4300, 0};
	unsigned seed = getenv("QUENLET_SEED") ? atoi(getenv("QUENLET_SEED")) : time(nullptr);
	std::mt19937 rng(seed);
	auto pick = [&](unsigned n) { return (unsigned)(rng() % n); };
	auto may = [&](int u, const string &path, int how) {
		int fd = open(path.c_str(), O_PATH), status = 1;
		if (fork() == 0)
			_exit(setgroups(groups[u].size(), groups[u].data()) || setgid(groups[u][0]) || setuid(users[u]) ||
			      prctl(PR_SET_DUMPABLE, 1) || access(("/proc/self/fd/" + std::to_string(fd)).c_str(), how));
		wait(&status);
		close(fd);
		return status == 0;
	};
	// Owner, group and mode at random, and for nearly half an ACL.
	auto own = [&](const string &path, mode_t high) {
		mode_t mode = pick(01000) | high;
		EXPECT_EQ(chown(path.c_str(), pick(5) ? users[pick(4)] : 0, used[pick(7) / 3]) | chmod(path.c_str(), mode), 0);
		string acl = string("\2\0\0\0", 4);
		const uint32_t none = ~0u, entries[][2] = {{1, none}, {2, 4242}, {2, 4243}, {2, 4244}, {2, 4245}, {4, none},
							   {8, 4244}, {8, 4300}, {0x10, none}, {0x20, none}};
		for (auto &e : entries) {
			unsigned perm = e[0] == 1 ? mode >> 6 & 7 : e[0] == 0x10 ? mode >> 3 & 7 : e[0] == 0x20 ? mode & 7 : pick(8);
			if ((e[0] != 2 && e[0] != 8) || pick(3) == 0)
				acl += string{(char)e[0], 0, (char)perm, 0, (char)e[1], (char)(e[1] >> 8), (char)(e[1] >> 16), (char)(e[1] >> 24)};
		}
		EXPECT_TRUE(pick(100) >= 45 || setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0);
	};
	chmod(dir.c_str(), 0755);
	string wrong;
	for (int f = 0, entries = 0; entries < 2000; f++) {
		string d = dir + "/f" + std::to_string(f), want;
		mkdir(d.c_str(), 0700);
		for (int i = 1; i <= 12; i++, entries++)
			own(put("2024-01-" + std::to_string(10 + i) + ".gmi", "# T\n", d), 0);
		own(d, pick(2) ? 01000 : 02000);
		struct stat st;
		stat(d.c_str(), &st);
		bool anyone = (st.st_mode & 3) == 3;
		for (int i = 1; i <= 12; i++) {
			string name = "2024-01-" + std::to_string(10 + i) + ".gmi";
			bool listed = true;
			for (int u = 0; u < 8; u++)
				listed = listed && (!(anyone || users[u] == st.st_uid || may(u, d, W_OK | X_OK)) || may(u, d + "/" + name, R_OK));
			want = listed ? "=>" + name + " 2024-01-" + std::to_string(10 + i) + "   T\n" + want : want;
		}
		// The programs linked against musl, and where not under emulation,
		// against glibc.
		for (string program : {QUENLET, GEMLOG_INDEX, string(QUENLET_DYNAMIC), string(GEMLOG_INDEX_DYNAMIC)}) {
			if (cross && (program == QUENLET_DYNAMIC || program == GEMLOG_INDEX_DYNAMIC))
				continue;
			string got = run(with_users(program == QUENLET || program == QUENLET_DYNAMIC ? std::vector<string>{program, d} :
									     std::vector<string>{program, "-n", d}), "/").out;
			std::vector<string> lines;
			for (size_t at = 0; at < got.size(); at = got.find('\n', at) + 1)
				lines.push_back(got.substr(at, got.find('\n', at) + 1 - at));
			std::sort(lines.rbegin(), lines.rend());
			if (std::accumulate(lines.begin(), lines.end(), string()) != want)
				wrong += program + " " + d + ": " + got + " where the kernel lets " + want;
		}
	}
	EXPECT_EQ(wrong, "") << "QUENLET_SEED=" << seed;
	// Where users come from another source too, the musl build, which reads
	// the files alone, counts a group that may write as anyone, and says
	// why; but for systemd's, where no record adds to the group.
	string d = single("2024-01-01.gmi", "# T\n");
	EXPECT_EQ(chown((d + "/2024-01-01.gmi").c_str(), 4242, 4300) | chmod((d + "/2024-01-01.gmi").c_str(), 0640) |
		  chown(d.c_str(), 4242, 4300) | chmod(d.c_str(), 02775), 0);
	const string line = "=>2024-01-01.gmi 2024-01-01   T\n", guessed = QUENLET_ON_MUSL && !cross ? "" : line;
	for (auto source : {std::vector<string>{"files systemd", "", line}, {"files systemd", "dave:journal.membership", guessed},
			    {"files ldap", "", guessed}, {"files systemd", "x.user", line}, {"", "", line}}) {
		EXPECT_EQ(run(with_users({QUENLET, d}, source[0], source[1]), "/").out, source[2]) << source[0] << source[1];
		Outcome r = run(with_users({GEMLOG_INDEX, "-n", d}, source[0], source[1]), "/");
		EXPECT_EQ(r.err.find("a build linked against the system's C library, to list it") == string::npos, r.out == line) << r.err;
	}
}

// The shim renames a FIFO with a line waiting in it or none, a link to a
// FIFO or a device, or a device, over the entry just before quenlet first
// opens it; a folder stands for one that replaced the entry after the
// listing. Only an entry that the folder listed as regular is opened then,
// without blocking, and it is never read; in a folder that others may
// write, it is checked on its descriptor.
TEST_F(Journal, EntrySwappedBeforeTheOpenIsNotRead)
{
	const struct {
		string entry;  // a file, a folder, or a link to a file of its owner
		string type;   // the type the shim gives it, if any
		string swap;
		int opens;
		mode_t mode = 0755;  // the folder's
	} rows[] = {
		{"link", "", "fifo-link", 0}, {"link", "", "device-link", 0}, {"file", "0", "fifo", 0},
		{"file", "0", "device-link", 0}, {"file", "8", "fifo", 1}, {"folder", "8", "", 1},
		{"file", "8", "lone-fifo", 1}, {"file", "8", "device", 1, 0777}, {"file", "8", "fifo", 1, 0757},
	};
	const string log = dir + "/trace";
	for (auto &row : rows) {
		if (!can_run(true, true, row.swap == "device"))
			continue;
		string d = single("target", "# Entry\n"), fifo = d + "/fifo";
		chmod(d.c_str(), row.mode);
		mknod((d + "/device").c_str(), S_IFCHR | 0666, makedev(1, 7));  // /dev/full, as root
		mkfifo((d + "/lone-fifo").c_str(), 0644);
		if (row.entry == "link")
			put_link("target", d + "/2021-03-04.gmi");
		else if (row.entry == "folder")
			mkdir((d + "/2021-03-04.gmi").c_str(), 0755);
		else
			put("2021-03-04.gmi", "# Entry\n", d);
		mkfifo(fifo.c_str(), 0644);
		int writer = open(fifo.c_str(), O_RDWR);
		ASSERT_EQ(write(writer, "# Fifo\n", 7), 7);
		put_link("fifo", d + "/fifo-link");
		put_link("/dev/full", d + "/device-link");
		std::vector<string> options = {"-e", "trace=/^open,pread64", "-E", "LD_PRELOAD=" SHIM,
					       "-E", "SHIM_SWAP=" + row.swap};
		if (!row.type.empty())
			options.insert(options.end(), {"-E", "SHIM_TYPE=" + row.type});
		string what = row.entry + " " + row.type + " " + row.swap;
		EXPECT_EQ(run(traced(log, options, {QUENLET_DYNAMIC, "."}), d),
			  (Outcome{"", "Could not process file 2021-03-04.gmi\n", 0})) << what;
		EXPECT_EQ(count_reading_opens(log), row.opens) << what;
		EXPECT_EQ(count_calls(log, "pread64(4,"), 0) << what;  // the folder is 3, the loader's are 3
		close(writer);
	}
	say_skipped();
}

// Where /proc is a plain folder, empty or with self/fd links planted to
// another file, what opens there is not the file a link leads to.
TEST_F(Journal, PlainFolderOverProcIsNotTrusted)
{
	if (!can_run(false, false, true))
		return say_skipped(true);
	if (system("unshare -m true 2>/dev/null") != 0)
		GTEST_SKIP() << "it needs unshare -m, missing here";
#ifdef QUENLET_SANITIZED
	GTEST_SKIP() << "AddressSanitizer itself needs /proc";
#endif
	string d = single("target", "# Target\n"), decoy = put("decoy", "# Decoy\n");
	put_link("target", d + "/2021-03-04.gmi");
	for (string plant : {string(), "for fd in 3 4 5 6 7; do ln -s " + decoy + " /proc/self/fd/$fd; done && "}) {
		string script = "mount -t tmpfs none /proc && mkdir -p /proc/self/fd && " + plant + "exec \"$0\" \"$@\"";
		EXPECT_EQ(run({"unshare", "-m", "sh", "-c", script, QUENLET, "."}, d),
			  (Outcome{"", "Could not process file 2021-03-04.gmi\n", 0})) << plant;
	}
}

// Writes that fail anywhere in the index: at, just before and just after
// the edge of the 32 KiB output buffer (less the 8 bytes musl keeps), and at
// the first, second or third write of a longer index.
TEST_F(Journal, FailedWriteIsNotSuccess)
{
	const struct {
		size_t bytes;
		string fault;
	} rows[] = {
		{32759, "full"}, {32760, "full"}, {32767, "full"}, {32768, "full"}, {32769, "full"}, {65536, "full"},
		{65537, "full"},
		{100000, "closed"}, {100000, "pipe"},
		{100000, "when=1"}, {100000, "when=2"}, {100000, "when=3"},
	};
	for (auto &row : rows) {
		if (!can_run(row.fault.compare(0, 5, "when=") == 0, false))
			continue;
		string d = dir + "/" + std::to_string(++count);
		mkdir(d.c_str(), 0755);
		fill(d, row.bytes);
		put("2021-03-05.gmi", "", d);
		const string err = "Could not process file 2021-03-05.gmi\n";
		ASSERT_EQ(quenlet(d).out.size(), row.bytes);

		Outcome r;
		string what = std::to_string(row.bytes) + " " + row.fault;
		if (row.fault == "full") {
			int out = open("/dev/full", O_WRONLY);
			r = quenlet(d, ".", out);
			close(out);
		} else if (row.fault == "pipe") {
			int fds[2];
			ASSERT_EQ(pipe(fds), 0);
			close(fds[0]);
			signal(SIGPIPE, SIG_IGN);  // inherited: the write gets EPIPE
			r = quenlet(d, ".", fds[1]);
			signal(SIGPIPE, SIG_DFL);
			close(fds[1]);
		} else if (row.fault == "closed") {
			r = quenlet(d, ".", -2);
		} else {
			// Only the index's writes fail, not the message's.
			string index = d + ".index";
			int out = open(index.c_str(), O_WRONLY | O_CREAT, 0644);
			r = run(traced("/dev/null", {"-P", index, "-e", "inject=write,writev:error=ENOSPC:" + row.fault},
				       {QUENLET, d}), ".", out);
			close(out);
		}
		EXPECT_EQ(r.err, err + "Could not write index\n") << what;
		EXPECT_EQ(r.status, 1) << what;
	}
	say_skipped();
}

// Failures of the folder's reading, or of the process rather than the entry
// (out of descriptors or memory), make the status 1; the entry's own do not.
TEST_F(Journal, FailuresOfTheProcessAreNotSuccess)
{
	const string one = "=>2021-03-04.gmi 2021-03-04   One\n";
	const string read = "Could not read file 2021-03-04.gmi\n";
	const string process = "Could not process file 2021-03-04.gmi\n";
	const string folder = "Could not read directory\n";
	// The first getdents64 returns every entry of so small a folder, the
	// second would report its end. A link's first %fstat is of the link,
	// its second of the target, the check after its open.
	const struct {
		string inject;  // or a ulimit command
		bool link;
		Outcome want;
		string shim = "";  // a mode of the preloaded shim, if any
	} rows[] = {
		{"getdents64:error=EIO:when=2", false, {one, folder, 1}},
		{"getdents64:error=EIO:when=1", false, {"", folder, 1}},
		{"openat:error=EMFILE", false, {"", read, 1}},
		{"openat:error=ENFILE", false, {"", read, 1}},
		{"openat:error=EMFILE", true, {"", read, 1}},
		{"%fstat:error=ENOMEM", true, {"", read, 1}},
		{"%fstat:error=ENOMEM:when=2", true, {"", read, 1}},
		{"readlinkat:error=ENOMEM", true, {"", read, 1}},
		{"openat:error=ENFILE:when=2", true, {"", read, 1}},
		{"pread64:error=ENOMEM", false, {"", process, 1}},
		{"pread64:error=ENOMEM:when=2", false, {"", process, 1}, "SHIM_READ=3"},
		{"openat:error=EACCES", false, {"", read, 0}},
		{"%fstat:error=EACCES", true, {"", read, 0}},
		{"openat:error=ENOMEM:when=2", true, {"", read, 1}},
		{"openat:error=EACCES:when=2", true, {"", read, 0}},
		{"openat:error=ENOENT:when=2", true, {"", read, 0}},
		{"pread64:error=EIO", false, {"", process, 0}},
		{"pread64:error=EIO:when=2", false, {"", process, 0}, "SHIM_READ=3"},
		{"pread64:error=EIO:when=3", false, {one, "", 0}, "SHIM_READ=3"},
		{"ulimit -n 4", false, {"", read, 1}},
		{"ulimit -n 6", true, {"", read, 1}},
		{"fgetxattr:error=EIO", false, {"", read, 0}},  // in a folder others may write, where the ACL counts
	};
	for (auto &row : rows) {
		bool ulimit = row.inject.compare(0, 6, "ulimit") == 0;
		if (!can_run(!ulimit, !row.shim.empty()))
			continue;
		string d = single(row.link ? "target" : "2021-03-04.gmi", "# One\n");
		if (row.link)
			put_link("target", d + "/2021-03-04.gmi");
		chmod(d.c_str(), row.inject.find("xattr") == string::npos ? 0755 : 0777);
		std::vector<string> options = {"-e", "inject=" + row.inject};
		if (row.inject.compare(0, 10, "getdents64"))
			options.insert(options.end(), {"-P", "2021-03-04.gmi", "-P", "target", "-P", d + "/2021-03-04.gmi"});
		if (!row.shim.empty())
			options.insert(options.end(), {"-E", "LD_PRELOAD=" SHIM, "-E", row.shim});
		std::vector<string> argv = traced("/dev/null", options, {row.shim.empty() ? QUENLET : QUENLET_DYNAMIC, "."});
		if (ulimit)
			argv = {"sh", "-c", row.inject + " && exec \"$0\" \"$@\"", QUENLET, "."};
		EXPECT_EQ(run(argv, d), row.want) << row.inject << (row.link ? " link " : " ") << row.shim;
	}

	// A descriptor leaked per entry would run out long before the last.
	string many = single("target", "# One\n");
	for (int i = 10; i < 60; i++) {
		put_link("target", many + "/2021-03-" + std::to_string(i) + ".gmi");
		put("2021-04-" + std::to_string(i) + ".gmi", "# One\n", many);
	}
	Outcome r = run({"sh", "-c", "ulimit -n 7 && exec \"$0\" \"$@\"", QUENLET, "."}, many);
	EXPECT_EQ((Outcome{std::to_string(std::count(r.out.begin(), r.out.end(), '\n')), r.err, r.status}),
		  (Outcome{"100", "", 0}));
	say_skipped();
}

// gemlog-index, run under umask 077 over what stands at index.gmi: the new
// index, mode 0644, keeps the text around the entry lines, and their
// layout; what it may not read or rewrite is left as it was, with status 1.
// No other file is left, and drafts that a killed run left are removed.
TEST_F(Journal, PublishedIndexKeepsTheAuthorsText)
{
	// The message for the line n of the old page, which links what, a name
	// gone, or is a heading left empty.
	auto gone = [](int n, const string &what) {
		return "gemlog-index: ./index.gmi:" + std::to_string(n) + (what[0] == '#' ? ": the heading \"" + what +
		       "\" heads no line of its own now; removed\n" : ": " + what + " is gone from the folder; its line removed\n");
	};
	// The note on the line n of the old page, whose entry name has the
	// heading now and whose line keeps the title kept.
	auto retitled = [](int n, const string &name, const string &now, const string &kept) {
		return "gemlog-index: ./index.gmi:" + std::to_string(n) + ": " + name + " is titled \"" + now + "\" now; its line keeps \"" +
		       kept + "\" (delete the line to have it written anew)\n";
	};
	const string lines = "=>2024-02-01%20b&.gmi 2024-02-01   B\n=>2024-01-01.gmi 2024-01-01   A\n"
			     "=>2023-06-01.gmi 2023-06-01  Z\n";
	const string draft = "gemlog-index: ./2024-03-01.gmi: its first line is not a heading; left out\n";
	const string kept = draft.substr(0, draft.size() - 9) + "its line in index.gmi is kept as it is\n";
	const string refused = "; left as it is\n", unshared = ": not readable by everyone who could have put it there; ";
	// A page of many lines, and one whose target is a name of 1024 bytes.
	string many = "=> 2024-01-01" + string(1010, 'x') + ".gmi Long\n";
	for (int i = 0; i < 70; i++)
		many.insert(0, "=> x.gmi 2020-01-01 X\n");
	// A page of 10,000 lines of a name gone, of no calendar date: 20 named.
	string gone_page = "=>2024-01-01.gmi 2024-01-01   A\n", gone_said = draft;
	for (int i = 2; i <= 10001; i++) {
		gone_page += "=> 2023-02-30-x.gmi 2023-02-30 Y\n";
		gone_said += i <= 21 ? gone(i, "2023-02-30-x.gmi") : "";
	}
	gone_said += "gemlog-index: ./index.gmi: 9980 more lines of names gone from the folder removed, not named\n";
	// Entries of dates off the calendar, newest first, and what a page that
	// cannot show them says.
	const std::vector<string> off = {"2024-99-01.gmi", "2024-13-01.gmi", "2024-01-32.gmi", "2024-01-00.gmi", "2024-00-10.gmi"};
	string unshown = draft;
	for (auto &name : off)
		unshown += "gemlog-index: ./" + name + ": its date is not a day of the calendar, which index.gmi cannot show as it writes dates; left out\n";
	const string planted = "gemlog-index: ./.gemlog-index.lock: ", open_lock = "it may be opened by others than those who may write "
			     "the folder; remove it to publish; nothing written\n";
	const string undated = ": cannot tell where the list goes among the page's own links; left as it is. Put the newest entry's "
			       "line where the list starts, and run again: =>2024-02-01%20b&.gmi 2024-02-01   B\n", not_own = draft + "gemlog-index: ./index.gmi: not a regular file" + refused,
		     changed = draft + "gemlog-index: ./index.gmi: changed while the new one was being made; run again to take the change in; "
			       "index.gmi left as it is\n";
	const struct {
		string old;  // or what else stands there, or a condition of the run
		std::vector<string> args;
		string index, err;  // index is empty when the old one must stay
		string left = "";   // the drafts left
		std::vector<string> shim = {};  // the preloaded shim's mode
		std::vector<string> more = {};  // entries beside the four, each "# X"
	} rows[] = {
		{"", {".", "T"}, "# T\n\n" + lines, draft},
		{"", {"."}, lines, draft},
		{"# Old\r\nHi\r\n\r\n=> 2021-10-19.gmi 2021-10-19 - X\r\n=>\t2020-01-01.gmi\r\n\r\n=> about.gmi A\r\n", {".", "T"},
		 "# T\r\nHi\r\n\r\n=> 2024-02-01%20b&.gmi 2024-02-01 - B\r\n=> 2024-01-01.gmi 2024-01-01 - A\r\n"
		 "=> 2023-06-01.gmi 2023-06-01 - Z\r\n\r\n=> about.gmi A\r\n", draft + gone(4, "2021-10-19.gmi") + gone(5, "2020-01-01.gmi")},
		{"intro", {"."}, "intro\n\n" + lines, draft},
		{"#Old", {".", "T"}, "# T\n\n" + lines, draft},
		{"## Sub\n=> ./2020-01-01.gmi x\n=x 2023-06-01.gmi\n-> 2023-06-01.gmi\n", {".", "T"}, "# T\n\n## Sub\n=> ./2024-02-01%20b&.gmi B\n=> "
		 "./2024-01-01.gmi A\n=> ./2023-06-01.gmi Z\n=x 2023-06-01.gmi\n-> 2023-06-01.gmi\n", draft + gone(2, "./2020-01-01.gmi")},
		{"# T\n\n=>2020-01-01.gmi a\n## 2020\n=>2020-01-02.gmi b\n", {"."}, "# T\n\n## 2024\n=>2024-02-01%20b&.gmi B\n=>2024-01-01.gmi A\n\n## 2023\n=>2023-06-01.gmi Z\n",
		 draft + gone(3, "2020-01-01.gmi") + gone(4, "## 2020") + gone(5, "2020-01-02.gmi")},
		{"# T\n\n## 2024\n=> 2024-01-01.gmi x\n## 2022\n=> 2023-06-01.gmi y\n", {"."}, "# T\n\n## 2024\n=> 2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi x\n## 2022\n=> 2023-06-01.gmi y\n",
		 draft + retitled(4, "2024-01-01.gmi", "A", "x") + retitled(6, "2023-06-01.gmi", "Z", "y")},
		// Year sections, the author's line and the blank lines between.
		{"# Log\r\n\r\n## 2024\r\n\r\n=> 2024-01-01.gmi 2024-01-01 \u2014 A\r\n\r\nBye\r\n", {"."},
		 "# Log\r\n\r\n## 2024\r\n\r\n=> 2024-02-01%20b&.gmi 2024-02-01 \u2014 B\r\n=> 2024-01-01.gmi 2024-01-01 \u2014 A\r\n"
		 "\r\n## 2023\r\n\r\n=> 2023-06-01.gmi 2023-06-01 \u2014 Z\r\n\r\nBye\r\n", draft},
		{"# Log\n\n### 2025 posts\n=> 2025-01-01.gmi 2025-01-01 - Gone\n\n\n### 2023 posts\n=> 2023-06-01.gmi 2023-06-01 - Zed\n=> 2023-01-01.gmi 2023-01-01 - Gone\n",
		 {"."}, "# Log\n\n### 2024 posts\n=> 2024-02-01%20b&.gmi 2024-02-01 - B\n=> 2024-01-01.gmi 2024-01-01 - A\n\n\n"
		 "### 2023 posts\n=> 2023-06-01.gmi 2023-06-01 - Zed\n", draft + gone(3, "### 2025 posts") + gone(4, "2025-01-01.gmi") + gone(9, "2023-01-01.gmi")},
		{"Intro\n=>  2024-01-01.gmi   A  \n\n=> 2023-06-01.gmi Z\n", {"."},
		 "Intro\n=>  2024-02-01%20b&.gmi   B\n\n=>  2024-01-01.gmi   A  \n\n=> 2023-06-01.gmi Z\n", draft},
		{"# My 2024 journal\n=> 2024-01-01.gmi 2024-01-01: A", {"."}, "# My 2024 journal\n=> 2024-02-01%20b&.gmi "
		 "2024-02-01: B\n=> 2024-01-01.gmi 2024-01-01: A\n=> 2023-06-01.gmi 2023-06-01: Z\n", draft},
		{"# T\n\n=>2023-06-01.gmi 2023-06-01  Z\n", {"."}, "# T\n\n" + lines, draft},
		{"# T\n## 2024\n\n", {"."}, "# T\n## 2024\n\n" + lines.substr(0, 69) + "\n## 2023\n\n" + lines.substr(69), draft},
		{"# T\n## 2024", {"."}, "# T\n## 2024\n" + lines.substr(0, 69) + "\n## 2023\n" + lines.substr(69), draft},
		{"=> 2024-01-01.gmi 2024-01-01 - A\r", {"."}, "=> 2024-02-01%20b&.gmi 2024-02-01 - B\r\n=> 2024-01-01.gmi 2024-01-01 - A\r\n"
		 "=> 2023-06-01.gmi 2023-06-01 - Z\r\n", draft},
		{"# T\n## 2024\n  ", {"."}, "# T\n## 2024\n  \n" + lines.substr(0, 69) + "\n## 2023\n" + lines.substr(69), draft},
		// Lists by URL or root path, dated lines to other posts, the author's
		// words beside quenlet's line, and each way of writing a list.
		{"=> g.e+m-i://h/log/2024-01-01.gmi 2024-01-01 A\n", {"."}, "=> g.e+m-i://h/log/2024-02-01%20b&.gmi 2024-02-01 B\n=> "
		 "g.e+m-i://h/log/2024-01-01.gmi 2024-01-01 A\n=> g.e+m-i://h/log/2023-06-01.gmi 2023-06-01 Z\n", draft},
		{"=> /l/2024-02-01%20b&%2egmi 2024-02-01 - B\n=> /l/2024-01-01.gmi 2024-01-01 - A\n", {"."}, "=> /l/2024-02-01%20b&%2egmi "
		 "2024-02-01 - B\n=> /l/2024-01-01.gmi 2024-01-01 - A\n=> /l/2023-06-01.gmi 2023-06-01 - Z\n", draft},
		{"=> gemini://x/l/2024-01-01.gmi A\n=> /log/2023-06-01.gmi Z\n=> gemini://h/log/2024-02-01%20b&.gmi B\n", {"-u", "gemini://h/log/", "."},
		 "=> gemini://x/l/2024-01-01.gmi A\n=> /log/2023-06-01.gmi Z\n=> gemini://h/log/2024-02-01%20b&.gmi B\n", draft},
		{"=> 2024/05/2024-05-01.gmi 2024-05-01 X\n=> 2024-03-01.gmi 2024-03-01 Draft\n=> 533.gmi 2024-01-02 Y\n", {"."}, "=> 2024/05/"
		 "2024-05-01.gmi 2024-05-01 X\n=> 2024-03-01.gmi 2024-03-01 Draft\n=> 2024-02-01%20b&.gmi 2024-02-01 B\n=> 533.gmi 2024-01-02 Y\n=> "
		 "2024-01-01.gmi 2024-01-01 A\n=> 2023-06-01.gmi 2023-06-01 Z\n", kept},
		{"=>2024-01-01.gmi 2024-01-08   Old A\n=>2023-06-01.gmi 2023-06-01  \n", {"."}, "=>2024-02-01%20b&.gmi 2024-02-01   B\n"
		 "=>2024-01-01.gmi 2024-01-08   Old A\n=>2023-06-01.gmi 2023-06-01  Z\n", draft},
		{"=> 2024%2D02-01%20b&%2Eg%6d%69 Bee\n\n=> 2024-01-01.gmi A\n=> 2023-06-01.gmi Z\n", {"."}, "=> 2024%2D02-01%20b&%2Eg%6d%69 Bee\n\n=> "
		 "2024-01-01.gmi A\n=> 2023-06-01.gmi Z\n", draft},
		{"=>2024-01-01.gmi 2024-01-01 \u2013 A\n", {"."}, "=>2024-02-01%20b&.gmi 2024-02-01 \u2013 B\n=>2024-01-01.gmi 2024-01-01 \u2013 "
		 "A\n=>2023-06-01.gmi 2023-06-01 \u2013 Z\n", draft},
		{"=> 2024-01-01.gmi 2024-01-01 \u2022 A\r\n=> 2023-06-01.gmi 2023-06-01 \u2022 Z\n", {"."}, "=> 2024-02-01%20b&.gmi 2024-02-01 "
		 "\u2022 B\r\n=> 2024-01-01.gmi 2024-01-01 \u2022 A\r\n=> 2023-06-01.gmi 2023-06-01 \u2022 Z\n", draft},
		{"=>\t2024-01-01.gmi\t2024-01-01 \u00b7 A\n", {"."}, "=>\t2024-02-01%20b&.gmi\t2024-02-01 \u00b7 B\n=>\t2024-01-01.gmi\t"
		 "2024-01-01 \u00b7 A\n=>\t2023-06-01.gmi\t2023-06-01 \u00b7 Z\n", draft},
		{"=> 2024-01-01.gmi 2024-01-01 (Draft) A\n", {"."}, "=> 2024-02-01%20b&.gmi 2024-02-01 B\n=> 2024-01-01.gmi 2024-01-01 "
		 "(Draft) A\n=> 2023-06-01.gmi 2023-06-01 Z\n", draft},
		{"=> 2024-01-01.gmi 2024-01-01 \u00ab A\n", {"."}, "=> 2024-02-01%20b&.gmi 2024-02-01 B\n=> 2024-01-01.gmi 2024-01-01 "
		 "\u00ab A\n=> 2023-06-01.gmi 2023-06-01 Z\n", draft},
		{"=>2024-01-01.gmi A\n", {"."}, "=>2024-02-01%20b&.gmi B\n=>2024-01-01.gmi A\n=>2023-06-01.gmi Z\n", draft},
		{"=> 2024-01-01.gmi\n", {"."}, lines.substr(0, 37) + "=> 2024-01-01.gmi\n" + lines.substr(69), draft},
		{"=> 2023-06-01.gmi Z\n=> 2024-01-01.gmi A\n", {"."}, "=> 2023-06-01.gmi Z\n=> 2024-01-01.gmi A\n=> 2024-02-01%20b&.gmi B\n", draft},
		{"=>2023-06-01.gmi 2023-06-01  Y\n", {"."}, lines, draft},
		{"# L\n\n### 2024 posts\n=> 2024-01-01.gmi A\n\n## 2022\n=> 2022-01-01.gmi Old\n", {"."}, "# L\n\n### 2024 posts\n=> "
		 "2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi A\n\n### 2023 posts\n=> 2023-06-01.gmi Z\n", draft + gone(6, "## 2022") + gone(7, "2022-01-01.gmi")},
		{"# Log\n\n=> gemini://o/2024-11-06 First\n=> posts/a.gmi Second\n", {"."}, "", draft + "gemlog-index: ./index.gmi:4" + undated},
		{"# Log\n\n=> about.gmi About me\n", {"."}, "", draft + "gemlog-index: ./index.gmi:3" + undated},
		{"# Log\n\n=> ./ Home\n=> .. Up\n=> ../x.gmi X\n=> atom.xml Feed\n=> index.gmi Me\n=> /about.gmi Root\n=> gemini://o/x.gmi O\n=> i.png I\n", {"."},
		 "# Log\n\n=> ./ Home\n=> .. Up\n=> ../x.gmi X\n=> atom.xml Feed\n=> index.gmi Me\n=> /about.gmi Root\n=> gemini://o/x.gmi O\n=> i.png I\n\n" + lines, draft},
		{"## 2024\n", {"."}, "## 2024\n\n" + lines, draft},
		{many, {"."}, "=> 2024-02-01%20b&.gmi 2024-02-01 B\n=> 2024-01-01.gmi 2024-01-01 A\n=> 2023-06-01.gmi 2023-06-01 Z\n" + many, draft}, {"# T\n## 2023\n", {"."}, "# T\n## 2024\n" + lines.substr(0, 69) + "\n## 2023\n" + lines.substr(69), draft},
		// Lines that look like quenlet's but for a blank, a prefix or a dated
		// line's target; a date with no title; a dated line alone; blank
		// lines after lines removed, after text; a heading ten years off, one
		// left empty, sections out of order, a new one above a line.
		{"=> 2024-01-01.gmi 2024-01-01  A\n", {"."}, "=> 2024-02-01%20b&.gmi 2024-02-01  B\n=> 2024-01-01.gmi 2024-01-01  A\n=> "
		 "2023-06-01.gmi 2023-06-01  Z\n", draft},
		{"=>/l/2024-01-01.gmi 2024-01-01  A\n", {"."}, "=>/l/2024-02-01%20b&.gmi 2024-02-01  B\n=>/l/2024-01-01.gmi 2024-01-01  A\n"
		 "=>/l/2023-06-01.gmi 2023-06-01  Z\n", draft},
		{"=>533.gmi 2024-01-15  Y\n", {"."}, lines.substr(0, 37) + "=>533.gmi 2024-01-15  Y\n" + lines.substr(37), draft},
		{"=> 2024-01-01.gmi 2024-01-01\n", {"."}, "=> 2024-02-01%20b&.gmi 2024-02-01 B\n=> 2024-01-01.gmi 2024-01-01\n=> 2023-06-01.gmi "
		 "2023-06-01 Z\n", draft},
		{"=> 533.gmi 2024-01-15 Y\n", {"."}, "=> 2024-02-01%20b&.gmi 2024-02-01 B\n=> 533.gmi 2024-01-15 Y\n=> 2024-01-01.gmi 2024-01-01 A\n"
		 "=> 2023-06-01.gmi 2023-06-01 Z\n", draft},
		{"=> 2024-01-01.gmi A\n\n=> 2023-01-01.gmi Gone\n\n=> 2023-06-01.gmi Z\nText\n=> 2022-01-01.gmi Gone\n\nEnd\n", {"."}, "=> "
		 "2024-02-01%20b&.gmi B\n\n=> 2024-01-01.gmi A\n\n=> 2023-06-01.gmi Z\nText\n\nEnd\n", draft + gone(3, "2023-01-01.gmi") + gone(7, "2022-01-01.gmi")},
		{"=> 2020-01-01.gmi Gone\n\n=> 2024-01-01.gmi A\n", {"."}, "=> 2024-02-01%20b&.gmi B\n\n=> 2024-01-01.gmi A\n\n=> 2023-06-01.gmi Z\n", draft + gone(1, "2020-01-01.gmi")},
		{"=> 2020-01-01.gmi Gone\n\n=> 2024-01-01.gmi A\n", {".", "T"}, "# T\n\n=> 2024-02-01%20b&.gmi B\n\n=> 2024-01-01.gmi A\n\n=> 2023-06-01.gmi Z\n", draft + gone(1, "2020-01-01.gmi")},
		{"=> 2024-03-01.gmi D\n\n=> 2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi A\n", {"."}, "=> 2024-03-01.gmi D\n\n=> 2024-02-01%20b&.gmi "
		 "B\n=> 2024-01-01.gmi A\n\n=> 2023-06-01.gmi Z\n", kept},
		{"=> 2024-03-01.gmi D\n\n=> 2024-01-01.gmi A\n=> 2023-06-01.gmi Z\n", {"."}, "=> 2024-03-01.gmi D\n\n=> 2024-02-01%20b&.gmi B\n\n"
		 "=> 2024-01-01.gmi A\n=> 2023-06-01.gmi Z\n", kept},
		{"# T\n## 2014\n=> old/x.gmi 2014-05-05 X\n", {"."}, "# T\n## 2024\n=> 2024-02-01%20b&.gmi 2024-02-01 B\n=> 2024-01-01.gmi 2024-01-01 "
		 "A\n\n## 2023\n=> 2023-06-01.gmi 2023-06-01 Z\n\n## 2014\n=> old/x.gmi 2014-05-05 X\n", draft},
		{"# T\n## 2025\n=> 2025-01-01.gmi Gone\n## 2024\n=> 2024-03-01.gmi D\n=> 2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi A\n## 2023\n=> "
		 "2023-06-01.gmi Z\n", {"."}, "# T\n## 2024\n=> 2024-03-01.gmi D\n=> 2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi A\n## 2023\n=> "
		 "2023-06-01.gmi Z\n", kept + gone(2, "## 2025") + gone(3, "2025-01-01.gmi")},
		{"# T\n## 2023\n=> 2023-06-01.gmi Z\n## 2024\n=> 2024-01-01.gmi A\n", {"."}, "# T\n## 2023\n=> 2023-06-01.gmi Z\n## 2024\n=> "
		 "2024-01-01.gmi A\n=> 2024-02-01%20b&.gmi B\n", draft},
		{"# T\n## 2024\n=> 2024-01-01.gmi A\n=> 2022/x.gmi 2022-01-01 X\n", {"."}, "# T\n## 2024\n=> 2024-02-01%20b&.gmi B\n=> "
		 "2024-01-01.gmi A\n\n## 2023\n=> 2023-06-01.gmi Z\n\n=> 2022/x.gmi 2022-01-01 X\n", draft},
		// Sections: the end of its year's, one whose lines are gone, a new
		// one above another, the blank lines under a new heading.
		{"# T\n## 2024\n=> 2024-03-01.gmi D\n\n## 2023\n=> 2023-06-01.gmi Z\n", {"."}, "# T\n## 2024\n=> 2024-03-01.gmi D\n=> "
		 "2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi A\n\n## 2023\n=> 2023-06-01.gmi Z\n", kept},
		{"# T\n## 2024\nWords.\n=> 2024-09-09.gmi Gone\n\n## 2023\n=> 2023-06-01.gmi Z\n", {"."}, "# T\n## 2024\nWords.\n=> "
		 "2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi A\n\n## 2023\n=> 2023-06-01.gmi Z\n", draft + gone(4, "2024-09-09.gmi")},
		{"# T\n## 2023\n=> 2023-06-01.gmi Z\n", {"."}, "# T\n## 2024\n=> 2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi A\n\n## 2023\n=> "
		 "2023-06-01.gmi Z\n", draft},
		{"# T\n## 2024\n\n=> 2024-03-01.gmi D\n\n=> 2024-01-01.gmi A\n", {"."}, "# T\n## 2024\n\n=> 2024-03-01.gmi D\n\n=> "
		 "2024-02-01%20b&.gmi B\n\n=> 2024-01-01.gmi A\n\n## 2023\n\n=> 2023-06-01.gmi Z\n", kept},
		{"# T\nWritten in 2024.\n\n=> 2024-01-01.gmi A\n", {"."}, "# T\nWritten in 2024.\n\n=> 2024-02-01%20b&.gmi B\n=> "
		 "2024-01-01.gmi A\n=> 2023-06-01.gmi Z\n", draft},
		{"=> /old/2020-01-01.gmi Gone\n=> 2024-01-01.gmi A\n=> gemini://h/l/2023-06-01.gmi 2023-06-01 Z\n", {"."}, "=> /old/"
		 "2020-01-01.gmi Gone\n=> 2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi A\n=> gemini://h/l/2023-06-01.gmi 2023-06-01 Z\n", draft},
		{"# Old\n", {"-n", "."}, "# Old\n\n" + lines, draft}, {lines, {"."}, lines, draft},
		// Quiet: a draft unsaid, a line removed said; dates off the calendar
		// in a page of ISO dates, of month names and of month sections.
		{"=> 2020-01-01.gmi Gone\n\n=> 2024-01-01.gmi A\n", {"-q", "."}, "=> 2024-02-01%20b&.gmi B\n\n=> 2024-01-01.gmi A\n\n=> 2023-06-01.gmi Z\n", gone(1, "2020-01-01.gmi")},
		{"=> 2024-01-01.gmi 2024-01-01 A\n", {"--quiet", "."}, "=> 2024-99-01.gmi 2024-99-01 X\n=> 2024-13-01.gmi 2024-13-01 X\n=> "
		 "2024-02-01%20b&.gmi 2024-02-01 B\n=> 2024-01-32.gmi 2024-01-32 X\n=> 2024-01-01.gmi 2024-01-01 A\n=> 2024-01-00.gmi 2024-01-00 X\n=> "
		 "2024-00-10.gmi 2024-00-10 X\n=> 2023-06-01.gmi 2023-06-01 Z\n", "", "", {}, off},
		{"=> 2024-01-01.gmi 1 Jan 2024: A\n", {"."}, "=> 2024-02-01%20b&.gmi 1 Feb 2024: B\n=> 2024-01-01.gmi 1 Jan 2024: A\n=> "
		 "2023-06-01.gmi 1 Jun 2023: Z\n", unshown, "", {}, off},
		{"# L\n\n### Jan 2024\n=> 2024-01-01.gmi 2024-01-01 A\n", {"."}, "# L\n\n### Feb 2024\n=> 2024-02-01%20b&.gmi 2024-02-01 B\n\n"
		 "### Jan 2024\n=> 2024-01-01.gmi 2024-01-01 A\n\n### Jun 2023\n=> 2023-06-01.gmi 2023-06-01 Z\n", unshown, "", {}, off},
		// Dates as authors write them, read and written back, and those that
		// are none; month headings; the prefix of a name that is no entry; a
		// page with no list: refused where it links posts, under its heading,
		// after a preformatted block.
		{"=>p/v.gmi [2024-03-25] V\n", {"."}, "=>p/v.gmi [2024-03-25] V\n=>2024-02-01%20b&.gmi [2024-02-01] B\n=>2024-01-01.gmi [2024-01-01] A\n"
		 "=>2023-06-01.gmi [2023-06-01] Z\n", draft},
		{"=> 2024-01-01.gmi A (2024-01-01)\n", {"."}, "=> 2024-02-01%20b&.gmi B (2024-02-01)\n=> 2024-01-01.gmi A (2024-01-01)\n"
		 "=> 2023-06-01.gmi Z (2023-06-01)\n", draft},
		{"=> 2024-01-01.gmi 1 Jan 2024: A\n", {"."}, "=> 2024-02-01%20b&.gmi 1 Feb 2024: B\n=> 2024-01-01.gmi 1 Jan 2024: A\n=> "
		 "2023-06-01.gmi 1 Jun 2023: Z\n", draft},
		{"=>2024-01-01.gmi    A - January 1st, 2024\n", {"."}, "=>2024-02-01%20b&.gmi    B - February 1st, 2024\n=>2024-01-01.gmi    "
		 "A - January 1st, 2024\n=>2023-06-01.gmi    Z - June 1st, 2023\n", draft},
		{"=> 2024-01-01.gmi 01 january 2024 A\n", {"."}, "=> 2024-02-01%20b&.gmi 01 february 2024 B\n=> 2024-01-01.gmi 01 january "
		 "2024 A\n=> 2023-06-01.gmi 01 june 2023 Z\n", draft},
		{"=> 2024-01-01.gmi A\u00b7 JAN. 01, 2024.\n", {"."}, "=> 2024-02-01%20b&.gmi B\u00b7 FEB. 01, 2024.\n=> 2024-01-01.gmi A"
		 "\u00b7 JAN. 01, 2024.\n=> 2023-06-01.gmi Z\u00b7 JUN. 01, 2023.\n", draft},
		{"=> 2024-01-01.gmi A\n=> q.gmi 2023-07-01x Q\n=> n.gmi Now, updated 12 July 2023\n=> o.gmi 29/12/2023 O\n=> p.gmi 30 Feb 2024: P\n",
		 {"."}, "=> 2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi A\n=> 2023-06-01.gmi Z\n=> q.gmi 2023-07-01x Q\n=> n.gmi Now, updated 12 July 2023\n"
		 "=> o.gmi 29/12/2023 O\n=> p.gmi 30 Feb 2024: P\n", draft},
		{"# L\n\n### Aug 2023\n=> x.gmi 2023-08-02 X\n\n### May 2023\n=> y.gmi 2023-05-02 Y\n", {"."}, "# L\n\n### Feb 2024\n=> "
		 "2024-02-01%20b&.gmi 2024-02-01 B\n\n### Jan 2024\n=> 2024-01-01.gmi 2024-01-01 A\n\n### Aug 2023\n=> x.gmi 2023-08-02 X\n\n"
		 "### Jun 2023\n=> 2023-06-01.gmi 2023-06-01 Z\n\n### May 2023\n=> y.gmi 2023-05-02 Y\n", draft},
		{"# L\n## 2023-12 posts\n=> x.gmi 2023-12-02 X\n", {"."}, "# L\n## 2024-02 posts\n=> 2024-02-01%20b&.gmi 2024-02-01 B\n\n## 2024-01 "
		 "posts\n=> 2024-01-01.gmi 2024-01-01 A\n\n## 2023-12 posts\n=> x.gmi 2023-12-02 X\n\n## 2023-06 posts\n=> 2023-06-01.gmi 2023-06-01 Z\n", draft},
		{"# L\n## 12/2023\n=> x.gmi 2023-12-02 X\n## 2023-10\n=> y.gmi 2023-10-02 Y\n", {"."}, "# L\n## 02/2024\n=> 2024-02-01%20b&.gmi "
		 "2024-02-01 B\n## 01/2024\n=> 2024-01-01.gmi 2024-01-01 A\n## 12/2023\n=> x.gmi 2023-12-02 X\n## 2023-10\n=> y.gmi 2023-10-02 Y\n"
		 "## 06/2023\n=> 2023-06-01.gmi 2023-06-01 Z\n", draft},
		{"=> /t/index.gmi 2021-12-30 - X\n", {"."}, "=> 2024-02-01%20b&.gmi 2024-02-01 - B\n=> 2024-01-01.gmi 2024-01-01 - A\n=> "
		 "2023-06-01.gmi 2023-06-01 - Z\n=> /t/index.gmi 2021-12-30 - X\n", draft},
		{"=> /p/a A\n", {"."}, "", draft + "gemlog-index: ./index.gmi:1" + undated},
		{"=> ./2024-01-01.gmi A\n=> /l/2023-06-01.gmi Z\n", {"."}, "=> ./2024-02-01%20b&.gmi B\n=> ./2024-01-01.gmi A\n=> /l/2023-06-01.gmi Z\n", draft},
		{"=> /x/y.gmi 2024-07-01 Y\n=> 2024-01-01.gmi A\n", {"."}, "=> /x/y.gmi 2024-07-01 Y\n=> 2024-02-01%20b&.gmi 2024-02-01 B\n=> "
		 "2024-01-01.gmi A\n=> 2023-06-01.gmi 2023-06-01 Z\n", draft},
		{"=>../posts/look.gmi L\n", {"."}, "", draft + "gemlog-index: ./index.gmi:1" + undated},
		{"=> gemini://h/other/x.gmi O\n=> gemini://h/log/ Home\n=> gemini://h/log/p.gmi P\n", {"-u", "gemini://h/log/", "."}, "", draft +
		 "gemlog-index: ./index.gmi:3" + undated},
		{"# T\n\n## 2024\n\nFooter\n", {"."}, "# T\n\n## 2024\n\n" + lines.substr(0, 69) + "\n## 2023\n\n" + lines.substr(69) + "\nFooter\n", draft},
		{"```\n=> 2024-01-01.gmi A\n## 2024\n```\n", {"."}, "```\n=> 2024-01-01.gmi A\n## 2024\n```\n\n" + lines, draft},
		// A list oldest first; a link home to /index.gmi; a year heading over
		// undated links; headings of a day over notes; a hand list under a
		// month and one dated in a form not read; labels that show no date.
		{"=> 2024-01-01.gmi 2024-01-01 A\n=> y.gmi 2024-01-15 Y\n", {"."}, "=> 2023-06-01.gmi 2023-06-01 Z\n=> 2024-01-01.gmi 2024-01-01 A\n"
		 "=> y.gmi 2024-01-15 Y\n=> 2024-02-01%20b&.gmi 2024-02-01 B\n", draft},
		{"=> 2024-01-01.gmi A\n\n=> /index.gmi Home\n", {"."}, "=> 2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi A\n=> 2023-06-01.gmi Z\n\n=> /index.gmi Home\n", draft},
		{"# L\n\n### 2022\n=> links/index.gmi Links\n\n### 2021\n=> x.gmi 2021-05-01 X\n", {"."}, "# L\n\n### 2024\n=> 2024-02-01%20b&.gmi "
		 "2024-02-01 B\n=> 2024-01-01.gmi 2024-01-01 A\n\n### 2023\n=> 2023-06-01.gmi 2023-06-01 Z\n\n### 2022\n=> links/index.gmi Links\n\n"
		 "### 2021\n=> x.gmi 2021-05-01 X\n", draft},
		{"# N\n\n## Thu, 28 Jul 2022 14:08:18\nMy note.\n", {"."}, "# N\n\n## Thu, 28 Jul 2022 14:08:18\nMy note.\n\n" + lines, draft},
		{"# N\n\n###2021-Feb\n=> a.gmi A\n", {"."}, "", draft + "gemlog-index: ./index.gmi:4" + undated},
		{"# Log\n\n=> posts/a.gmi 4/13/2023 Post\n", {"."}, "", draft + "gemlog-index: ./index.gmi:3: cannot tell where the list goes among "
		 "the page's own links, whose dates, as 4/13/2023, are in a form that cannot be read (which is the month?)" + undated.substr(undated.find(';'))},
		{"=> 2024-01-01.gmi  \u2014 A\n", {"."}, "=> 2024-02-01%20b&.gmi  \u2014 B\n=> 2024-01-01.gmi  \u2014 A\n=> 2023-06-01.gmi  \u2014 Z\n", draft},
		// A first line of CR LF alone; a month's name in a word; a dagger, no
		// separator; a block left open; dates in brackets, first and last;
		// a month in mixed case; a post of .gemini.
		{"\r\nIntro\r\n", {"."}, "\r\nIntro\r\n\r\n=>2024-02-01%20b&.gmi 2024-02-01   B\r\n=>2024-01-01.gmi 2024-01-01   A\r\n"
		 "=>2023-06-01.gmi 2023-06-01  Z\r\n", draft},
		{"# T\n## Dismay 2024\n=> 2024-01-01.gmi A\n", {"."}, "# T\n## Dismay 2024\n=> 2024-02-01%20b&.gmi B\n=> 2024-01-01.gmi A\n\n"
		 "## Dismay 2023\n=> 2023-06-01.gmi Z\n", draft},
		{"=> 2024-01-01.gmi 2024-01-01 \u2020 A\n", {"."}, "=> 2024-02-01%20b&.gmi 2024-02-01 B\n=> 2024-01-01.gmi 2024-01-01 \u2020 A\n"
		 "=> 2023-06-01.gmi 2023-06-01 Z\n", draft},
		{"Text\n```\ncode\n", {"."}, "Text\n```\ncode\n```\n\n" + lines, draft},
		{"=> x.gmi [2024-01-01] - Old post\n", {"."}, "=> 2024-02-01%20b&.gmi [2024-02-01] - B\n=> 2024-01-01.gmi [2024-01-01] - A\n"
		 "=> x.gmi [2024-01-01] - Old post\n=> 2023-06-01.gmi [2023-06-01] - Z\n", draft},
		{"=> 2024-01-01.gmi 1 JAnuary 2024: A\n", {"."}, "=> 2024-02-01%20b&.gmi 1 February 2024: B\n=> 2024-01-01.gmi 1 JAnuary 2024: A\n"
		 "=> 2023-06-01.gmi 1 June 2023: Z\n", draft},
		{"=> x.gmi Old post [2024-01-01]\n", {"."}, "=> 2024-02-01%20b&.gmi B [2024-02-01]\n=> 2024-01-01.gmi A [2024-01-01]\n"
		 "=> x.gmi Old post [2024-01-01]\n=> 2023-06-01.gmi Z [2023-06-01]\n", draft},
		{"# Log\n\n=> posts/a.gemini A\n", {"."}, "", draft + "gemlog-index: ./index.gmi:3" + undated},
		// What stands at index.gmi, or at atom.xml.
		{"link", {".", "T"}, "# T\n\n" + lines, draft},
		{"hard link", {"."}, "# Victim\n\n" + lines, draft}, {"folder", {"."}, "", not_own}, {"fifo", {"."}, "", not_own},
		{"swapped fifo", {"."}, "", not_own, "", {"SHIM_AT=index.gmi", "SHIM_SWAP=swap"}},
		{"swapped link", {"."}, "", draft + "gemlog-index: ./index.gmi: Too many levels of symbolic links" + refused, "",
		 {"SHIM_AT=index.gmi", "SHIM_SWAP=swap"}},
		{"private", {"."}, "", "gemlog-index: ./2024-03-01.gmi" + unshared + "make it readable by them to list it; left "
		 "out\ngemlog-index: ./index.gmi" + unshared + "make it readable by them (chmod g+r or o+r) to publish it" + refused},
		{"acl", {"."}, "", draft + "gemlog-index: ./index.gmi" + unshared + "make it readable by them (chmod g+r or o+r) to publish it" + refused},
		{"group page", {"."}, "# Mine\n\n" + lines + " mode 436 owner 4242:4300", draft},
		{"editor", {"."}, "# Mine\n\n" + lines + " mode 436 owner 4242:4300 acl", draft},
		{"own 0600", {"."}, "# Mine\n\n" + lines, draft},
		{"sparse 268435457", {"."}, "", draft + "gemlog-index: ./index.gmi: larger than 256 MiB" + refused},
		{"sparse 268435456", {"."}, "", draft + "gemlog-index: ./index.gmi: the new one would be larger than 256 MiB; index.gmi left as it is\n"},
		{"atom folder", {"-u", "gemini://x/", "."}, "", draft + "gemlog-index: ./atom.xml: cannot be replaced, for it "
		 "is neither a file nor a link; index.gmi and atom.xml left as they are\n"},
		{"default acl", {"."}, "# Mine\n\n" + lines, draft},
		{"atom fifo", {"-u", "gemini://x/", "."}, "", draft + "gemlog-index: ./atom.xml: cannot be replaced, for it "
		 "is neither a file nor a link; index.gmi and atom.xml left as they are\n"},
		{"both owners", {"-u", "gemini://x/", "."}, "# Mine\n\n" + lines + " mode 436 owner 4243:4300", draft},
		// What stands at the lock's name, never opened unless a file that
		// only the folder's writers may open.
		{"lock fifo", {"."}, "", draft + planted + "a FIFO; remove it to publish; nothing written\n", ".gemlog-index.lock "},
		{"lock link", {"."}, "", draft + planted + "a symbolic link; remove it to publish; nothing written\n", ".gemlog-index.lock "},
		{"lock folder", {"."}, "", draft + planted + "a folder; remove it to publish; nothing written\n", ".gemlog-index.lock/ "},
		{"lock open", {"."}, "", draft + planted + open_lock, ".gemlog-index.lock "},
		{"lock acl", {"."}, "", draft + planted + open_lock, ".gemlog-index.lock "},
		{"lock device", {"."}, "", draft + planted + "a device; remove it to publish; nothing written\n", ".gemlog-index.lock "},
		// What else befalls the run.
		{"emptied", {"."}, "", "gemlog-index: no entries left in .; index.gmi left as it is\n"},
		{"no entries", {"."}, "", "gemlog-index: . holds no entries (files named YYYY-MM-DD\u2026.gmi whose first line is a heading); nothing written\n"},
		{"", {"."}, lines, draft, "", {"SHIM_TAKEN=1"}},
		{"edited", {"."}, "", changed, "", {"SHIM_EDIT=index.gmi"}},
		{"edited same", {"."}, "", changed, "", {"SHIM_EDIT=index.gmi", "SHIM_HOW=same"}},
		{"edited restore", {"."}, "", changed, "", {"SHIM_EDIT=index.gmi", "SHIM_HOW=restore"}},
		{"edited delete", {"."}, "", changed, "", {"SHIM_EDIT=index.gmi", "SHIM_HOW=delete"}},
		{"edited create", {"."}, "", changed, "", {"SHIM_EDIT=index.gmi"}},
		{"edited after", {"."}, "", draft + "gemlog-index: ./index.gmi was edited during the run; index.gmi left as it was; run again\n", "",
		 {"SHIM_EDIT=index.gmi", "SHIM_HOW=rename"}},
		{"edited after", {"-u", "gemini://x/", "."}, "", draft + "gemlog-index: ./index.gmi was edited during the run; index.gmi and atom.xml "
		 "left as they were; run again\n", "", {"SHIM_EDIT=index.gmi", "SHIM_HOW=rename"}},
		{gone_page, {"."}, lines, gone_said},
		{"locked", {"."}, lines, draft + "gemlog-index: .: another run is publishing it; waiting for it, at most 30 seconds\n"},
		{"reader locks", {"."}, lines, draft},
		{"full", {"."}, "", draft + "gemlog-index: .: cannot write a new index.gmi: File too large; index.gmi left as it is\n"},
		{"stale", {"."}, lines, draft, ".atom.xml.FOLDERFOLDER/ .atom.xml.FRESHFRESHFR .index.gmi-OLDOLDOLDOLD .index.gmi.-ABCDEFGHIJK "
		 ".index.gmi.LINKLINKLINK .index.gmi.MINUTES59ABC .index.gmi.OLDOLDOLDOL xindex.gmi.OLDOLDOLDOLD "},
		{"", {".", "T\r"}, "", "gemlog-index: the title holds a line end, a control character or ill-formed UTF-8\n"},
	};
	// What stands at path: a file's text, or its kind.
	auto describe = [](const string &path) {
		struct stat st{};
		if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
			return string(st.st_nlink == 0 ? "nothing" : S_ISDIR(st.st_mode) ? "folder" : S_ISFIFO(st.st_mode) ? "fifo" : "other");
		if (st.st_size > 1 << 20)
			return "large " + std::to_string(st.st_size);
		return read_file(path) + ((st.st_mode & 0777) == 0644 ? "" : " mode " + std::to_string(st.st_mode & 0777)) +
		       (st.st_uid != geteuid() || st.st_gid != getegid() ? " owner " + std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) : "") +
		       (getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) > 0 ? " acl" : "");
	};
	string victim = put("victim", "# Victim\n");
	for (auto &row : rows) {
		bool shim = !row.shim.empty();
		if (!can_run(false, shim, row.old == "private" || row.old == "group page" || row.old == "reader locks" || row.old == "lock device" ||
			     row.old == "both owners", "",
			     row.old == "sparse 268435456") ||
		    ((row.old == "acl" || row.old == "editor" || row.old == "lock acl" || row.old == "default acl") &&
		     !can_run(false, false, true, "u:4242:- " + put("probe", ""))))
			continue;
		string d = single("2024-01-01.gmi", "# A\n"), index = d + "/index.gmi";
		put("2024-02-01 b&.gmi", "# B\n", d);
		put("2023-06-01.gmi", "#Z\n", d);
		string entry = put("2024-03-01.gmi", "draft\n", d);
		for (auto &name : row.more)
			put(name, "# X\n", d);
		// The shell under the umask runs env, which preloads the shim into
		// the program alone.
		std::vector<string> env = {"sh", "-c", "umask 077 && exec \"$0\" \"$@\"", "env", "LD_PRELOAD=" SHIM};
		env.insert(env.end(), row.shim.begin(), row.shim.end());
		if (row.old == "link") {
			put_link(victim, index);
		} else if (row.old == "hard link") {
			ASSERT_EQ(link(victim.c_str(), index.c_str()), 0);
		} else if (row.old == "folder" || row.old == "atom folder") {
			mkdir((d + (row.old == "folder" ? "/index.gmi" : "/atom.xml")).c_str(), 0755);
		} else if (row.old == "fifo") {
			mkfifo(index.c_str(), 0644);
		} else if (row.old.compare(0, 7, "swapped") == 0 || row.old.compare(0, 6, "edited") == 0) {
			if (row.old != "edited create")
				put("index.gmi", "# Old\n", d);
			put("atom.xml", "old feed\n", d);
			if (row.old == "swapped fifo")
				mkfifo((d + "/swap").c_str(), 0644);
			else if (row.old == "swapped link")
				put_link(victim, d + "/swap");
		} else if (row.old == "private" || row.old == "own 0600" || row.old == "acl" || row.old == "group page" || row.old == "editor") {
			// Another user's private file in a group's folder (with_users's
			// journal), one that an ACL keeps from alice, the author's own in
			// their own, or alice's in the group's, with an editor's ACL
			// entry or none, beside a folder at atom.xml, left alone
			// without -u.
			mkdir((d + "/atom.xml").c_str(), 0755);
			put("index.gmi", "# Mine\n", d);
			chmod(index.c_str(), row.old == "acl" ? 0644 : row.old == "group page" || row.old == "editor" ? 0660 : 0600);
			uid_t owner = row.old == "acl" ? 4243 : 4242;
			if (row.old != "own 0600") {
				ASSERT_EQ(chown(index.c_str(), owner, row.old == "private" ? 4242 : 4300) | chown(d.c_str(), 0, 4300) |
					  chmod(d.c_str(), 02775), 0);
			}
			if (row.old == "acl" || row.old == "editor") {
				ASSERT_EQ(system(("setfacl -m " + string(row.old == "acl" ? "u:4242:- " : "u:4247:rw ") + index).c_str()), 0);
			}
			if (row.old == "private") {
				ASSERT_EQ(chown(entry.c_str(), 4242, 4242), 0);
				chmod(entry.c_str(), 0600);
			}
		} else if (row.old.compare(0, 5, "lock ") == 0) {
			// Planted there, or left by a run under other permissions.
			string lock = d + "/.gemlog-index.lock";
			ASSERT_EQ(row.old == "lock fifo" ? mkfifo(lock.c_str(), 0600) : row.old == "lock link" ? symlink("nowhere", lock.c_str()) :
				  row.old == "lock device" ? mknod(lock.c_str(), S_IFCHR | 0600, makedev(1, 3)) :
				  row.old == "lock folder" ? mkdir(lock.c_str(), 0700) : close(creat(lock.c_str(), 0)) | chmod(lock.c_str(), 0662), 0);
			if (row.old == "lock acl") {
				ASSERT_EQ(chmod(lock.c_str(), 0220) | system(("setfacl -m u:4242:rwx,g::r-x " + d).c_str()), 0);
			}
		} else if (row.old == "atom fifo") {
			mkfifo((d + "/atom.xml").c_str(), 0644);
		} else if (row.old == "both owners") {
			// A page of a co-author's, a first feed in a folder of another.
			put("index.gmi", "# Mine\n", d);
			ASSERT_EQ(chown(index.c_str(), 4243, 4300) | chmod(index.c_str(), 0660) | chown(d.c_str(), 4242, 4300), 0);
		} else if (row.old == "default acl") {
			put("index.gmi", "# Mine\n", d);
			ASSERT_EQ(system(("setfacl -d -m u:4247:rw " + d).c_str()), 0);
		} else if (row.old.compare(0, 7, "sparse ") == 0) {
			put("index.gmi", "", d);
			ASSERT_EQ(truncate(index.c_str(), std::stoll(row.old.substr(7))), 0);
		} else if (row.old == "emptied" || row.old == "no entries") {
			put("index.gmi", row.old == "emptied" ? "# T\n\n=>2023-06-01.gmi 2023-06-01  Z\n" : "intro\n", d);
			for (string name : {"2024-01-01.gmi", "2024-02-01 b&.gmi", "2023-06-01.gmi", "2024-03-01.gmi"})
				fs::remove(d + "/" + name);
		} else if (row.old == "full") {
			env[2] = "ulimit -f 0 && " + env[2];
		} else if (row.old == "locked" || row.old == "reader locks") {
			// Another run holds the lock for two seconds, or carol, who
			// may only read the folder, holds what she can.
			env[2] = (row.old == "locked" ? "umask 177 && flock .gemlog-index.lock sleep 2" : "setpriv --reuid=4244 --regid=4244 --clear-groups "
				  "sh -c 'flock . sleep 2 & flock .gemlog-index.lock sleep 2 2>/dev/null'") + string(" & sleep 0.3 && ") + env[2];
		} else if (row.old == "stale") {
			// Hour-old drafts but a folder or a name one letter short,
			// and a fresh one.
			// Hour-old drafts but a folder, a link or a name a letter
			// short or off, and fresher ones; the age is minutes by name.
			for (string name : {".index.gmi.OLDOLDOLDOLD", ".atom.xml.OLDOLDOLDOLD", ".index.gmi.OLDOLDOLDOL", ".atom.xml.FRESHFRESHFR",
					    ".index.gmi-OLDOLDOLDOLD", "xindex.gmi.OLDOLDOLDOLD", ".index.gmi.-ABCDEFGHIJK",
					    ".index.gmi.MINUTES59ABC", ".atom.xml.MINUTES61ABC"})
				put(name, "draft", d);
			mkdir((d + "/.atom.xml.FOLDERFOLDER").c_str(), 0755);
			put_link("nowhere", d + "/.index.gmi.LINKLINKLINK");
			for (string name : {".index.gmi.OLDOLDOLDOLD", ".atom.xml.OLDOLDOLDOLD", ".index.gmi.OLDOLDOLDOL", ".atom.xml.FOLDERFOLDER",
					    ".index.gmi-OLDOLDOLDOLD", "xindex.gmi.OLDOLDOLDOLD", ".index.gmi.-ABCDEFGHIJK", ".index.gmi.LINKLINKLINK",
					    ".index.gmi.MINUTES59ABC", ".atom.xml.MINUTES61ABC"}) {
				time_t ago = time(nullptr) - 60 * (name.find("MINUTES") != string::npos ? std::stoi(name.substr(name.size() - 5)) : 120);
				timespec times[2] = {{ago, 0}, {ago, 0}};
				utimensat(AT_FDCWD, (d + "/" + name).c_str(), times, AT_SYMLINK_NOFOLLOW);
			}
		} else if (!row.old.empty()) {
			put("index.gmi", row.old, d);
		}
		bool dry = row.args[0] == "-n";
		env.push_back(shim ? GEMLOG_INDEX_DYNAMIC : GEMLOG_INDEX);
		env.insert(env.end(), row.args.begin(), row.args.end());
		// What must stand at index.gmi if it is left as it is: what the
		// shim swaps in, or the author's edit.
		string before = describe(row.old.compare(0, 7, "swapped") == 0 ? d + "/swap" : index);
		before = row.old == "edited" || row.old == "edited restore" || row.old == "edited after" ? before + "edit\n" : row.old == "edited same" ? "edit\n\n" :
			 row.old == "edited delete" ? "nothing" : row.old == "edited create" ? "edit\n mode 384" : before;
		struct stat old_st{}, new_st{}, folder[2]{};
		lstat(index.c_str(), &old_st);
		stat(d.c_str(), &folder[0]);
		EXPECT_EQ(run(with_users(env), d), (Outcome{dry ? row.index : "", row.err, row.index.empty()})) << row.old;
		EXPECT_EQ(describe(index), row.index.empty() || dry ? before : row.index) << row.old;
		// A page left as it was is not written at all, and a run with nothing
		// new leaves the folder as it was: no lock made.
		lstat(index.c_str(), &new_st);
		stat(d.c_str(), &folder[1]);
		EXPECT_TRUE(shim || dry || row.args[0] == "-u" || row.index != before || (folder[0].st_mtim.tv_nsec == folder[1].st_mtim.tv_nsec &&
								 folder[0].st_ctim.tv_nsec == folder[1].st_ctim.tv_nsec)) << row.old;
		if (!shim) {
			EXPECT_EQ(old_st.st_ino == new_st.st_ino && old_st.st_mtim.tv_nsec == new_st.st_mtim.tv_nsec,
				  row.index.empty() || dry || row.index == before) << row.old;
		}
		EXPECT_EQ(describe(victim), "# Victim\n");
		EXPECT_TRUE(row.old.compare(0, 6, "edited") || describe(d + "/atom.xml") == "old feed\n") << row.old;
		string feed = describe(d + "/atom.xml");
		EXPECT_TRUE(row.old != "both owners" || feed.compare(feed.size() - 16, 16, " owner 4242:4300") == 0) << feed;
		std::vector<string> dots;
		for (auto &entry : fs::directory_iterator(d))
			if (strchr(".x", entry.path().filename().string()[0]))
				dots.push_back(entry.path().filename().string() + (entry.is_directory() ? "/ " : " "));
		std::sort(dots.begin(), dots.end());
		EXPECT_EQ(std::accumulate(dots.begin(), dots.end(), string()), row.left) << row.old;
	}
	// A page read once costs, in processor time, what a page of text of its
	// size with as many new entries costs, within four times: 2,000 year
	// headings, or 1,000 new entries, above a line of 1 MiB.
	string years, text;
	for (int y = 1000; y < 3000; y++)
		years += "## " + std::to_string(y) + "\n";
	while (text.size() < (1 << 20) + years.size())
		text += "Some words of the author.\n";
	for (int entries = 0; entries <= 1000 && can_run(false, false, false, "", true); entries += 1000) {
		double cost[2];
		for (int plain = 0; plain < 2; plain++) {
			string d = single("index.gmi", plain ? text : (entries ? "" : years) + string(1 << 20, 'x') + "\n");
			for (int i = 0; i <= entries; i++)
				put("2023-01-" + std::to_string(10000 + i) + ".gmi", "# E\n", d);
			struct rusage r[2];
			getrusage(RUSAGE_CHILDREN, &r[0]);
			EXPECT_EQ(run({GEMLOG_INDEX, "-n", d}).status, 0);
			getrusage(RUSAGE_CHILDREN, &r[1]);
			cost[plain] = r[1].ru_utime.tv_sec - r[0].ru_utime.tv_sec + (r[1].ru_utime.tv_usec - r[0].ru_utime.tv_usec) / 1e6;
		}
		EXPECT_LT(cost[0], 4 * cost[1] + 0.01) << entries;
	}
	say_skipped();
}

// Real authors' pages, each in its folder (its entries' first lines), with
// one new entry: the page each gives, or the refusal naming its line.
TEST_F(Journal, RealPagesComeOutRight)
{
	for (auto &page : fs::directory_iterator(PAGES)) {
		if (!page.is_directory())
			continue;
		string d = dir + "/" + page.path().filename().string(), want = page.path().string();
		fs::copy(page.path(), d);
		put("2027-01-05-a-new-entry.gmi", "# A new entry\n\nWritten today.\n", d);
		string out = read_file(want + ".want");
		EXPECT_EQ(run({GEMLOG_INDEX, "-n", "."}, d), (Outcome{out, read_file(want + ".err"), out.empty()})) << want;
	}
}

// The feed of a journal of one entry, or of a page of one dated line, at
// url: the entry only if its name's date is a day of the calendar, or else
// no feed; its title whole, the URL's host as the author, a line's link
// resolved against the URL; a URL with a byte outside printable ASCII is
// refused. An entry's first paragraph is its summary, its text whole its
// content, with --content; --limit keeps the newest items.
TEST_F(Journal, FeedHoldsWhatAtomAsks)
{
	const string t = "# T\n", at = "gemini://h/", kept = "T00:00:00Z</published>\n    <link", sum = "<summary type=\"text\">";
	// A paragraph of 80 words, the first 59 of which fit; an entry of a
	// line more than 1 MiB holds, each line its number in 63 digits.
	string words, fit, big = t;
	for (int i = 0; i < 80; i++)
		words += "abcd ", fit += i < 59 ? "abcd " : "";
	for (int i = 0; big.size() <= 1 << 20; i++)
		big += string(63 - std::to_string(i).size(), '0') + std::to_string(i) + "\n";
	// A page of 10,000 lines of an entry of no calendar date: twenty said.
	string off = "# F\n=> x 2024-01-01 X\n", off_said;
	for (int i = 0; i < 10000; i++)
		off += "=> 2024-02-30.gmi Y\n", off_said += i < 20 ? "gemlog-index: ./2024-02-30.gmi: not a calendar date; left out of the feed\n" : "";
	off_said += "gemlog-index: .: 9980 more entries whose dates are not days of the calendar left out of the feed, not named\n";
	// A page of 70,000 lines, each an item of twice a URL of 4 KB in a feed.
	string wide = "gemini://h/" + string(4000, 'p') + "/", lines = "# F\n";
	for (int i = 0; i < 70000; i++)
		lines += "=> x 2024-01-01 X\n";
	const struct {
		string name, head, url, want;  // want is empty for an entry left out, "refused" for a URL
		string page = "";  // an index.gmi beside the entry; its entries' links and titles are want
		string option = "";
		string err = "";
	} rows[] = {
		{"2024-01-01.gmi", "#\n", at, "<title>2024-01-01.gmi</title>", "", "", "gemlog-index: ./2024-01-01.gmi: its heading is empty; listed without a title\n"},
		{"2024-01-01.gmi", "# \t\r\n", at, "<title>2024-01-01.gmi</title>", "", "", "gemlog-index: ./2024-01-01.gmi: its heading is empty; listed without a title\n"},
		{"2024-01-01.gmi", "# T\n\nOne\ntwo  \t three\n\nNext\n", at, sum + "One two three</summary>"},
		{"2024-01-01.gmi", "# T\n=> x.gmi L\n## Sub\n* one\n* two.\n* three\n\nLater\n", at, sum + "one; two. three</summary>"},
		// Dates and metadata, a caption, a title after a link back and a
		// banner: no prose; a post of none has no summary.
		{"2024-01-01.gmi", "# T\nDate: 2016-07-04\n\nWords.\n", at, sum + "Words.</summary>"},
		{"2024-01-01.gmi", "# T\n\nDATE: 2021-03-10\nAUTHOR: John L. Godlee\n\nWords.\n", at, sum + "Words.</summary>"},
		{"2024-01-01.gmi", "# T\n* Published: 2026-03-26\n---\nWords.\n", at, sum + "Words.</summary>"},
		{"2024-01-01.gmi", "# T\nPosted 31 December 2024\n\nWords.\n", at, sum + "Words.</summary>"},
		{"2024-01-01.gmi", "# T\nSunday, 14 January 2024, 14:08 UTC\nWords.\n", at, sum + "Words.</summary>"},
		{"2024-01-01.gmi", "# T\n2024-05-09\n\nRead this next:\n=> x.gmi X\nWords.\n", at, sum + "Words.</summary>"},
		{"2024-01-01.gmi", "=> / \u2190 Back\n\n# T\n\nWords.\n", at, "<title>T</title>\n    <updated>2024-01-01T00:00:00Z</updated>\n    <published>"
		 "2024-01-01T00:00:00Z</published>\n    <link rel=\"alternate\" href=\"gemini://h/2024-01-01.gmi\"/>\n    " + sum + "Words.</summary>"},
		{"2024-01-01.gmi", "```\n# ART\n```\n=> gemini://h/ go back\n# ~~~~\n\n# T\nWords.\n", at, "<title>T</title>\n    <updated>"
		 "2024-01-01T00:00:00Z</updated>\n    <published>2024-01-01T00:00:00Z</published>\n    <link rel=\"alternate\" href=\"gemini://h/"
		 "2024-01-01.gmi\"/>\n    " + sum + "Words.</summary>\n    <content type=\"text\">Words.\n</content>", "", "--content"},
		{"2024-01-01.gmi", "# T\nUpdated: 2024-01-02\n=> x.gmi X\n", at, "href=\"gemini://h/2024-01-01.gmi\"/>\n  </entry>"},
		{"2024-01-01.gmi", "# T\n```\n\ncode\n```\n\nWords\n", at, sum + "Words</summary>"},
		{"2024-01-01.gmi", "# T\n\n> quoted\n>more\n", at, sum + "quoted more</summary>"},
		{"2024-01-01.gmi", t + words + "\n", at, sum + fit.substr(0, fit.size() - 1) + "\u2026</summary>"},
		{"2024-01-01.gmi", t + string(400, 'x'), at, sum + string(299, 'x') + "\u2026</summary>"},
		{"2024-01-01.gmi", "# T\n=> a.gmi A\n## Sub\n", at, "href=\"gemini://h/2024-01-01.gmi\"/>\n  </entry>"},
		{"2024-01-01.gmi", "# T\r\n\r\nA\x01" "b \xff c\r\nd\x1b[2J\r\n", at, sum + "Ab \xef\xbf\xbd c d[2J</summary>"},
		{"2024-01-01.gmi", "# T\r\n\r\n \r\nA\x01" "b \xff c\r\nd\x1b[2J\r\n", at, "<content type=\"text\">Ab \xef\xbf\xbd c\nd[2J\n</content>", "", "--content"},
		{"2024-01-01.gmi", big, at, "\n" + string(58, '0') + "16382\n\u2026\n</content>", "", "--content"},
		{"2024-01-01.gmi 2024-01-03b.gmi 2024-01-02.gmi 2024-01-03a.gmi", "# T\nBody\n", at, "gemini://h/2024-01-03b.gmi\"/>\n    <summary "
		 "type=\"text\">Body</summary>\n    <content type=\"text\">Body\n</content>\n  </entry>\n</feed>", "", "--content --limit=1"},
		{"2024-01-05.gmi 2024-01-09.gmi 2024-01-01.gmi 2024-01-07.gmi 2024-01-03.gmi 2024-01-08.gmi 2024-01-02.gmi 2024-01-06.gmi "
		 "2024-01-04.gmi", "# T\nBody\n", at, "<content type=\"text\">Body\n</content>\n  </entry>\n  <entry>\n    <id>gemini://h/2024-01-08.gmi"
		 "</id>\n    <title>T</title>\n    <updated>2024-01-08T00:00:00Z</updated>\n    <published>2024-01-08T00:00:00Z</published>\n    "
		 "<link rel=\"alternate\" href=\"gemini://h/2024-01-08.gmi\"/>\n    <summary type=\"text\">Body</summary>\n    <content type=\"text\">"
		 "Body\n</content>\n  </entry>\n  <entry>\n    <id>gemini://h/2024-01-07.gmi</id>\n    <title>T</title>\n    <updated>2024-01-07T00:00:00Z"
		 "</updated>\n    <published>2024-01-07T00:00:00Z</published>\n    <link rel=\"alternate\" href=\"gemini://h/2024-01-07.gmi\"/>\n    "
		 "<summary type=\"text\">Body</summary>\n    <content type=\"text\">Body\n</content>\n  </entry>\n</feed>", "", "--content --limit=3"},
		{"2024-01-01.gmi", "# \xc3\xa9 \xe2\x82\xac\xef\xbf\xbd \n", at, "<title>\xc3\xa9 \xe2\x82\xac\xef\xbf\xbd</title>"},
		{"2024-01-01.gmi", "#Tight\n", at, "<title>Tight</title>"},
		{"2024-02-29.gmi", t, at, "2024-02-29" + kept}, {"2016-02-29.gmi", t, at, "2016-02-29" + kept},
		{"2000-02-29.gmi", t, at, "2000-02-29" + kept}, {"2024-12-31.gmi", t, at, "2024-12-31" + kept},
		{"1900-02-29.gmi", t, at, ""}, {"2023-02-29.gmi", t, at, ""}, {"2024-06-31.gmi", t, at, ""},
		{"2024-01-32.gmi", t, at, ""}, {"2024-12-32.gmi", t, at, ""}, {"2024-00-10.gmi", t, at, ""},
		{"2024-01-01.gmi", t, "gemini://u:p@[::1]:1965/log", "<link rel=\"self\" href=\"gemini://u:p@[::1]:1965/log/"
		 "atom.xml\"/>\n  <link rel=\"alternate\" href=\"gemini://u:p@[::1]:1965/log/\"/>\n  <author><name>[::1]</name>"},
		{"2024-01-01.gmi", t, "gemini://u@h:1965/", "<author><name>h</name></author>"},
		{"2024-01-01.gmi", t, "a+b-c.d://h/", "<id>a+b-c.d://h/</id>"},
		{"2024-01-01.gmi", t, "gemini://h/\x7f", "refused"}, {"2024-01-01.gmi", t, "ge\x7fmini://h/", "refused"},
		{"2024-01-01.gmi", t, "-gemini://h/", "refused"},
		{"index.gmi", "=> /a/./x.gmi 2024-01-02 - X\n## 2024\n", "gemini://h/log", "<id>gemini://h/a/x.gmi</id>\n    <title>X</title>"
		 "\n    <updated>2024-01-02T00:00:00Z</updated>\n    <published>2024-01-02T00:00:00Z</published>\n    <link rel=\"alternate\" "
		 "href=\"gemini://h/a/x.gmi\"/>\n  </entry>\n</feed>"},
		{"index.gmi", "=> ../b/../y.gmi?q 2024-01-02: Y\n", "gemini://h/l/s/", "<id>gemini://h/l/y.gmi?q</id>\n    <title>Y</title>"},
		{"index.gmi", "=> gemini://o/../z 2024-01-02 Z\n", at, "<id>gemini://o/../z</id>"},
		{"2024-01-01.gmi", "# A\x1b[2J\r\n", at, "<title>A[2J</title>"},
		{"2024-01-01.gmi", "# T\x01\n", at, "Feed T gemini://h/d|D gemini://h/c|C gemini://h/b|B gemini://h/a|A gemini://h/f|F "
		 "gemini://h/i|I gemini://h/h|H gemini://h/g|G gemini://h/2024-01-01.gmi|T gemini://h/e|E .", "# Feed T\n=> /g 2024-01-01 G\n"
		 "=> /a 2024-03-01 A\n=> /b 2024-03-02 B\n=>2024-01-01.gmi 2024-01-01  Old\n=> /c 2024-04-01 C\n=> /d 2025-03-01 D\n"
		 "=> /e 2023-06-01 E\n=> /f 2024-03-01 F\n=> /h 2024-01-09 H\n=> /i 2024-01-10 I\n"},
		{"2024-01-01.gmi", t, wide, "refused", lines, "", "gemlog-index: ./atom.xml: the new one would be larger than 256 MiB; index.gmi "
		 "and atom.xml left as they are; --limit N keeps only the newest N items in it\n"},
		{"2024-02-30.gmi", t, at, "F gemini://h/x|X .", off, "", off_said},
		{"2024-01-01.gmi", t, at, "Feed T gemini://h/d|D gemini://h/c|C .", "# Feed T\n=> /c 2024-04-01 C\n=> /d 2025-03-01 D\n=> /e 2023-06-01 E\n",
		 "--limit=2"},
		{"2024-01-01.gmi", "# Heading\n", at, "Feed gemini://h/2024-01-01.gmi|Label title .", "# Feed\n=> 2024-01-01.gmi 2024-01-01 - Label title\n",
		 "", "gemlog-index: ./index.gmi:2: 2024-01-01.gmi is titled \"Heading\" now; its line keeps \"Label title\" (delete the line to "
		 "have it written anew)\n"},
		{"2024-01-01.gmi", "# Heading\n", at, "Feed gemini://h/2024-01-01.gmi|Heading .", "# Feed\n=> 2024-01-01.gmi 2024-01-01\n"},
		{"2024-01-01.gmi", t, at, "F gemini://h/2024-01-01.gmi|T gemini://h/a|A gemini://h/b|B .", "# F  \n=> /a A: 2023-07-05\n=> /b "
		 "B(2023-07-02)\n=> /c C-2023-07-03\n=> /d 2023-07-01x D\n=> /e E, updated 12 July 2023\n=> /f 29/12/2023 F\n=> /g 30 Feb 2024: "
		 "G\n=> /h H \u2022 2023-07-06\n"},
		{"2024-01-01.gmi 2024-01-03.gmi", t, at, "F gemini://h/2024-01-03.gmi|T gemini://h/x|X gemini://h/2024-01-01.gmi|T .", "# F\n=> /x 2024-01-02 X\n"},
		{"2024-01-02.gmi", t, at, "F gemini://h/2024-01-02.gmi|T gemini://h/x|X gemini://h/y|Y .", "# F\nText.\n\n=> /x 2024-01-02 X\n=> /y 2024-01-01 Y\n"},
		{"2024-01-02.gmi", "=> / Back\nText first.\n# T\n", at, "F gemini://h/x|X .", "# F\n=> /x 2024-01-01 X\n", "",
		 "gemlog-index: ./2024-01-02.gmi: line 2 is text before any heading; left out\n"},
		{"2024-01-01.gmi", t, at, "F gemini://h/2024-01-01.gmi|T gemini://h/w|Wednesday, November 22, 2023 gemini://h/e/jun-7.gmi|June 7 2022 .", "# F\n=> /w Wednesday, "
		 "November 22, 2023\n=> ./e/jun-7.gmi June 7 2022\n"},
	};
	// The feed's title, and its entries' links and titles, each "LINK|TITLE ".
	auto list = [](const string &feed) {
		size_t name = feed.find("<title>") + 7;
		string entries = feed.substr(name, feed.find('<', name) - name) + " ";
		for (size_t at = feed.find("<entry>"); at != string::npos; at = feed.find("<entry>", at + 1)) {
			size_t id = feed.find("<id>", at) + 4, title = feed.find("<title>", at) + 7;
			entries += feed.substr(id, feed.find('<', id) - id) + "|" + feed.substr(title, feed.find('<', title) - title) + " ";
		}
		return entries + ".";
	};
	for (auto &row : rows) {
		if (row.url == wide && !can_run(false, false, false, "", true))
			continue;
		// A journal of one entry, or of each that name lists.
		string d = single(row.name.substr(0, row.name.find(' ')), row.head);
		for (size_t at = row.name.find(' '); at != string::npos; at = row.name.find(' ', at + 1))
			put(row.name.substr(at + 1, row.name.find(' ', at + 1) - at - 1), row.head, d);
		if (!row.page.empty())
			put("index.gmi", row.page, d);
		std::vector<string> argv = {GEMLOG_INDEX, "-u", row.url, "."};
		for (size_t at = 0, end; at < row.option.size(); at = end + 1)
			argv.insert(argv.begin() + 1, row.option.substr(at, (end = std::min(row.option.find(' ', at), row.option.size())) - at));
		Outcome r = run(argv, d);
		string feed = read_file(d + "/atom.xml");
		if (row.want == "refused") {
			EXPECT_EQ(r.status, 1) << row.url;
			EXPECT_TRUE(row.err.empty() || r.err == row.err) << r.err;
			EXPECT_EQ(feed, "") << row.url;
		} else if (row.want.empty()) {
			EXPECT_EQ(r, (Outcome{"", "gemlog-index: ./" + row.name + ": not a calendar date; left out of the feed\ngemlog-index: .: no "
					      "entry or dated line has a date of the calendar to date atom.xml by; index.gmi and atom.xml left as they are\n", 1}));
			EXPECT_EQ(feed, "") << row.name;
		} else {
			EXPECT_EQ(r, (Outcome{"", row.err, 0})) << row.name;
			// A page's feed is listed whole, from its title.
			size_t at = (row.page.empty() ? feed : list(feed)).find(row.want);
			EXPECT_TRUE(row.page.empty() ? at != string::npos : at == 0) << row.want << " in " << feed;
			// A feed of "." is called by the folder's name.
			EXPECT_TRUE(!row.page.empty() || list(feed).find(d.substr(d.rfind('/') + 1) + " ") == 0) << feed;
			// The page holds the title as the heading has it.
			if (row.name != "index.gmi" && row.page.empty() && row.head[0] == '#') {
				string page = read_file(d + "/index.gmi");
				EXPECT_TRUE(page.find(row.head.substr(1, row.head.find_first_of("\r\n") - 1)) != string::npos && page.find('\r') == string::npos) << page;
			}
		}
	}
	// With --limit, only the newest entries' texts are held, however many:
	// 40 entries of 1 MiB within 20 MB of memory. Emulation and the
	// sanitizers map far more.
#ifndef QUENLET_SANITIZED
	if (!cross) {
		string d = single("index.gmi", ""), text = "# T\n";
		while (text.size() < 1000000)
			text += string(63, 'x') + "\n";
		for (int i = 1; i <= 40; i++)
			put("2024-" + std::to_string(10 + i / 20) + "-" + std::to_string(10 + i % 20) + ".gmi", text, d);
		EXPECT_EQ(run({"sh", "-c", "ulimit -v 20000 && exec \"$0\" \"$@\"", GEMLOG_INDEX, "-u", at, "--content", "--limit=3", "."}, d),
			  (Outcome{"", "", 0}));
	}
#endif
	say_skipped();
}

// A signal that comes before the new index is whole and synced stops the
// run and leaves the old index; one that comes once it is renamed over the
// old is too late to. So do 32 to 34 and the real-time ones (strace's RT_n
// is 32 + n). A broken pipe on standard error stops nothing. The new file
// is synced before the rename and the folder after it.
TEST_F(Journal, SignalsLeaveTheOldIndexOrTheNewWhole)
{
	if (!can_run(true, false))
		return say_skipped(true);
	const string old = "# Old\n", published = old + "\n=>2024-01-01.gmi 2024-01-01   A\n";
	const string log = dir + "/trace";
	for (string sig : {"HUP", "INT", "QUIT", "PIPE", "ALRM", "TERM", "USR1", "USR2", "VTALRM", "PROF", "IO", "PWR",
			   "XCPU", "XFSZ", "STKFLT", "RTMIN", "RT_1", "RT_2", "RT_3", "RT_30", "RT_32", ""}) {
		for (int when : {1, 2}) {
			string d = single("2024-01-01.gmi", "# A\n"), inject = "fsync:signal=SIG" + sig;
			put("index.gmi", old, d);
			put("2024-03-01.gmi", "draft\n", d);
			std::vector<string> argv = traced(log, {"-e", "trace=fsync,/^rename",
								 "-e", "inject=" + inject + ":when=" + std::to_string(when)}, {GEMLOG_INDEX, "."});
			if (sig.empty())  // the broken pipe, on the run's own message
				argv = {"bash", "-c", "{ sleep 0.2; exec \"$0\" \"$@\"; } 2>&1 | true; exit ${PIPESTATUS[0]}", GEMLOG_INDEX, "."};
			bool stopped = when == 1 && !sig.empty();
			string err = sig.empty() ? "" : "gemlog-index: ./2024-03-01.gmi: its first line is not a heading; left out\n";
			if (stopped)
				err += "gemlog-index: .: stopped by a signal; index.gmi left as it is\n";
			EXPECT_EQ(run(argv, d), (Outcome{"", err, stopped})) << sig << " " << when;
			EXPECT_EQ(fs::file_size(d + "/index.gmi"), (stopped ? old : published).size()) << sig << " " << when;
			EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 3) << sig;
		}
	}
	// With -u, a call that fails says which file was replaced, if any.
	const string both = "; index.gmi and atom.xml left as they are";
	const struct {
		string inject, err;
		int replaced;  // how many of the files, the feed first
	} faults[] = {
		{"/^rename:error=EACCES:when=1", "./atom.xml: cannot be replaced: Permission denied" + both, 0},
		{"renameat2:error=EACCES:when=2", "./index.gmi: cannot be replaced: Permission denied" + both, 0},
		{"getrandom:error=EACCES", ".: cannot write a new atom.xml: Permission denied" + both, 0},
		{"fchmod:error=EPERM:when=1", ".: cannot take the lock that runs take turns under: Operation not permitted; nothing written", 0},
		{"fchmod:error=EPERM:when=2", ".: cannot write a new atom.xml: Operation not permitted" + both, 0},
		{"/^fchown:error=EPERM", ".: cannot write a new atom.xml: Operation not permitted" + both, 0},
		{"fsync:error=ENOSPC:when=3", ".: index.gmi and atom.xml replaced, but the change may not survive a crash: "
		 "No space left on device", 2},
	};
	for (auto &fault : faults) {
		if (fault.inject.find("fchown") != string::npos && !can_run(false, false, true))
			continue;  // a run keeps the owner only where it is root
		string d = single("2024-01-01.gmi", "# A\n");
		put("index.gmi", old, d);
		Outcome r = run(traced("/dev/null", {"-e", "inject=" + fault.inject}, {GEMLOG_INDEX, "-u", "gemini://x/", "."}), d);
		EXPECT_EQ(r, (Outcome{"", "gemlog-index: " + fault.err + "\n", 1}));
		EXPECT_EQ(fs::file_size(d + "/index.gmi"), (fault.replaced == 2 ? published : old).size()) << fault.inject;
		EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 2 + (fault.replaced > 0)) << fault.inject;
	}

	// The last traced run's calls, renameat and renameat2 as rename.
	string calls;
	FILE *f = fopen(log.c_str(), "r");
	for (char line[4096]; f && fgets(line, sizeof line, f);)
		calls += strncmp(line, "rename", 6) ? string(line, strcspn(line, "(")) + " " : "rename ";
	fclose(f);
	EXPECT_EQ(calls, "fsync rename fsync ");
	say_skipped();
}

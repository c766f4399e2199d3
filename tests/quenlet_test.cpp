// Runs the built quenlet on journals made in a temporary folder and checks
// its standard output, standard error and exit status byte for byte.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using std::string;

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
// ten seconds.
static Outcome run(std::vector<string> argv, const string &cwd = ".", int out_fd = -1)
{
	int out[2], err[2];
	if (pipe(out) || pipe(err))
		abort();
	pid_t pid = fork();
	if (pid == 0) {
		dup2(out_fd == -1 ? out[1] : out_fd, 1);
		dup2(err[1], 2);
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
	while (open_fds > 0 && waited < 10000) {
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
	bool killed = open_fds > 0 && kill(pid, SIGKILL) == 0;
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
	int count = 0;
};

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
	};
	for (auto &row : rows) {
		string out = "=>2021-03-04.gmi 2021-03-04  " + row.title + "\n";
		EXPECT_EQ(quenlet(single("2021-03-04.gmi", row.head)), (Outcome{out, "", 0})) << row.head;
	}
	const char *refused[] = {"", "\n# Blank\n", " # Space\n", "\xef\xbb\xbf# BOM\n",
				 "=> / Home\n", "Why use Python when you can Go?"};
	for (const char *head : refused)
		EXPECT_EQ(quenlet(single("2021-03-04.gmi", head)),
			  (Outcome{"", "Could not process file 2021-03-04.gmi\n", 0})) << head;
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
	EXPECT_EQ(quenlet(single("2021-03-04\x1b[2J\x7f\n\t\xc3\xad.gmi", "")),
		  (Outcome{"", "Could not process file 2021-03-04?[2J???\xc3\xad.gmi\n", 0}));
	string d = single("keep", "");
	symlink("/nonexistent", (d + "/2021-03-04\r.gmi").c_str());
	EXPECT_EQ(quenlet(d), (Outcome{"", "Could not read file 2021-03-04?.gmi\n", 0}));
}

TEST_F(Journal, EntriesAreReadFromTheNamedFolder)
{
	string journal = single("2021-03-04.gmi", "# Journal\n");
	string elsewhere = single("2021-03-04.gmi", "# Elsewhere\n");
	const string link = "=>2021-03-04.gmi 2021-03-04   Journal\n";
	EXPECT_EQ(quenlet(journal, elsewhere), (Outcome{link, "", 0}));
	EXPECT_EQ(quenlet(journal, "/"), (Outcome{link, "", 0}));
	EXPECT_EQ(quenlet(".", journal), (Outcome{link, "", 0}));
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

TEST_F(Journal, OnlyRegularFilesAreRead)
{
	const string process = "Could not process file 2021-03-04.gmi\n";
	const string good = "=>2021-03-04.gmi 2021-03-04   Target\n";
	string fifo = single("keep", ""), fifo_link = single("keep", "");
	mkfifo((fifo + "/2021-03-04.gmi").c_str(), 0644);
	mkfifo((fifo_link + "/fifo").c_str(), 0644);
	symlink("fifo", (fifo_link + "/2021-03-04.gmi").c_str());
	string sock = single("keep", ""), sock_link = single("keep", "");
	for (string path : {sock + "/2021-03-04.gmi", sock_link + "/sock"}) {
		struct sockaddr_un addr{};
		addr.sun_family = AF_UNIX;
		snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
		int s = socket(AF_UNIX, SOCK_STREAM, 0);
		ASSERT_EQ(bind(s, (struct sockaddr *)&addr, sizeof addr), 0) << path;
		close(s);
	}
	symlink("sock", (sock_link + "/2021-03-04.gmi").c_str());
	string subdir = single("keep", ""), dir_link = single("keep", "");
	mkdir((subdir + "/2021-03-04.gmi").c_str(), 0755);
	symlink(".", (dir_link + "/2021-03-04.gmi").c_str());
	string tty_link = single("keep", ""), dangling = single("keep", "");
	symlink("/dev/tty", (tty_link + "/2021-03-04.gmi").c_str());
	symlink("missing", (dangling + "/2021-03-04.gmi").c_str());
	string file_link = single("target", "# Target\n");
	symlink("target", (file_link + "/2021-03-04.gmi").c_str());

	for (const string &d : {fifo, fifo_link, sock, sock_link, subdir, dir_link, tty_link})
		EXPECT_EQ(quenlet(d), (Outcome{"", process, 0})) << d;
	EXPECT_EQ(quenlet(dangling), (Outcome{"", "Could not read file 2021-03-04.gmi\n", 0}));
	EXPECT_EQ(quenlet(file_link), (Outcome{good, "", 0}));
}

TEST_F(Journal, FailedWriteIsNotSuccess)
{
	put("2021-03-04.gmi", "# One\n");
	put("2021-03-05.gmi", "");
	const string err = "Could not process file 2021-03-05.gmi\nCould not write index\n";
	int full = open("/dev/full", O_WRONLY);
	ASSERT_GE(full, 0);
	EXPECT_EQ(quenlet(dir, ".", full), (Outcome{"", err, 1}));
	close(full);
	EXPECT_EQ(quenlet(dir, ".", -2), (Outcome{"", err, 1}));

	for (int i = 0; i < 2000; i++)
		put("2020-01-01-" + std::to_string(i) + ".gmi", "# " + string(100, 'z') + "\n");
	full = open("/dev/full", O_WRONLY);
	Outcome r = quenlet(dir, ".", full);
	close(full);
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("Could not process file 2021-03-05.gmi\n"), string::npos);
	EXPECT_EQ(r.err.substr(r.err.size() - 22), "Could not write index\n");
}

TEST_F(Journal, DirectoryReadErrorIsNotSuccess)
{
	ASSERT_EQ(system("strace -V >/dev/null 2>&1"), 0) << "these tests need strace";
	put("2021-03-04.gmi", "# One\n");
	// The first getdents64 returns every entry of so small a folder, the
	// second would report its end. LeakSanitizer, in sanitizer builds,
	// cannot run under ptrace.
	auto failing = [&](const char *when) {
		string inject = string("inject=getdents64:error=EIO:when=") + when;
		return run({"strace", "-f", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0",
			    "-e", inject, QUENLET, dir});
	};
	const string err = "Could not read directory\n";
	EXPECT_EQ(failing("2"), (Outcome{"=>2021-03-04.gmi 2021-03-04   One\n", err, 1}));
	EXPECT_EQ(failing("1"), (Outcome{"", err, 1}));
}

// SPDX-License-Identifier: ISC
#include "core.h"
#include "walk.h"

#include <stdio.h>
#include <unistd.h>

// Closes stream; returns false when that fails or any earlier write to it
// did: a flush that failed mid-run is not reported again by fclose.
static bool close_stream(FILE *stream)
{
	bool failed = ferror(stream);
	return fclose(stream) == 0 && !failed;
}

// Writes the index line of e, a journal entry, to standard output, titles
// shown safely where context says it is a terminal; or says on standard
// error why it is left out, in quenlet's words: "read" where it may not be
// opened, "process" where it is no heading of a regular file.
static void make_line(const entry *e, void *terminal)
{
	if (e->head)
		write_link(stdout, e->name, e->head, e->n, *(bool *)terminal);
	else if (!e->name)
		fputs("Could not read directory\n", stderr);
	else if (e->why == CANNOT_OPEN || e->why == NOT_SHARED)
		report("Could not read file ", e->name);
	else
		report("Could not process file ", e->name);
}

int main(int argc, char *argv[])
{
	if (argc < 2) {
		puts("Usage: quenlet <dirname>");
		puts("Generates an index of all quenlet entries in the directory");
		return 1;
	}
	DIR *dir = opendir(argv[1]);
	if (!dir) {
		fputs("Could not open current directory", stdout);
		return 1;
	}

	// The index goes out in large blocks. Static, since on the stack stack
	// clash probing would touch every page of it at start-up; a larger one
	// grows memory with the size of the journal.
	static char out[32 * 1024];
	bool terminal = isatty(STDOUT_FILENO);
	if (!terminal)
		setvbuf(stdout, out, _IOFBF, sizeof out);

	listing l = {find_placers(dirfd(dir)), make_line, &terminal, nullptr, nullptr, 0};
	int status = scan(dir, &l);
	free_placers(&l.who);
	closedir(dir);
	if (!close_stream(stdout)) {
		fputs("Could not write index\n", stderr);
		status = 1;
	}
	return status;
}

// The watchdog's own reader of the router's settings files. It is kept in a
// file of its own only so that the unit tests can compile the very same code;
// it shares nothing with the agent.
#ifndef KIVWATCHER_SETTINGS_READER_H
#define KIVWATCHER_SETTINGS_READER_H

#include <stdio.h>

/* Size of the buffer a settings line is read into; a longer line is read as
 * several pieces. */
#define SETTINGS_LINE_MAX 16384

/* The value of the first line of `file` whose name equals `name` in any
 * letter case, or NULL. The text lives in a buffer of the reader and is
 * valid until the next call. A NULL file finds nothing. */
const char *settings_lookup(FILE *file, const char *name);

/* The value of `name` read as an unsigned decimal number; 0 when the line is
 * missing, the value does not start with a number, carries a minus sign or
 * does not fit. */
unsigned int settings_get_uint(FILE *file, const char *name);

/* The extra sleep of the watchdog: MOD_KIVCLIENT_SLEEP of the settings file
 * at `path`, 0 when the file cannot be opened. */
unsigned int watcher_read_settings(const char *path);

#endif

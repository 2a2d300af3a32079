/* Preloaded into the program under test: records what it sends to the
 * system log, one line per call, in the file named by TOLMARK_SYSLOG_CAPTURE:
 *   priority option facility ident<TAB>message
 * with backslashes and line ends in the message escaped as \\ and \n. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

static char ident_copy[4096] = "";
static int option_saved = -1;
static int facility_saved = -1;

void openlog(const char *ident, int option, int facility)
{
    snprintf(ident_copy, sizeof ident_copy, "%s", ident ? ident : "");
    option_saved = option;
    facility_saved = facility;
}

void closelog(void) {}

static void record(int priority, const char *format, va_list args)
{
    const char *path = getenv("TOLMARK_SYSLOG_CAPTURE");
    if (path == NULL)
        return;
    char message[16384];
    vsnprintf(message, sizeof message, format, args);
    char line[40000];
    int n = snprintf(line, sizeof line, "%d %d %d %s\t", priority, option_saved, facility_saved,
                     ident_copy);
    for (const char *p = message; *p != '\0' && n < (int)sizeof line - 3; ++p) {
        if (*p == '\n' || *p == '\\') {
            line[n++] = '\\';
            line[n++] = *p == '\n' ? 'n' : '\\';
        } else {
            line[n++] = *p;
        }
    }
    line[n++] = '\n';
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0)
        return;
    ssize_t ignored = write(fd, line, (size_t)n);
    (void)ignored;
    close(fd);
}

void vsyslog(int priority, const char *format, va_list args) { record(priority, format, args); }

void syslog(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

void __vsyslog_chk(int priority, int flag, const char *format, va_list args)
{
    (void)flag;
    record(priority, format, args);
}

void __syslog_chk(int priority, int flag, const char *format, ...)
{
    (void)flag;
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

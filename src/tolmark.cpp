// ztolmark: administers the POP3 server's authentication database.
// Installed set-user-id to the pop account; every rule is decided on the
// real uid.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "authdb.h"

namespace
{

const char version[] = "4.1.0";
const char pop_account[] = "pop";

// The request of this run; it holds a secret given on the command line.
Request request;

void wipe_secret_argument()
{
    explicit_bzero(request.secret_argument, sizeof request.secret_argument);
}

const char usage_text[] = "usage: %s [ -debug | -trace <tracefile> ] [ <action> ]\n"
                          "<action>: -init [ -safe ] \n"
                          "          -list [ <user> | ALL ] | -only\n"
                          "          -user <user> [ <password> ]\n"
                          "          -delete <user>\n"
                          "          -help\n"
                          "          -version\n";

struct OptionEntry {
    const char *name;
    int takes_argument;
    int code;
};

constexpr int code_unknown = 12;

const OptionEntry options[] = {
    {"init", 0, 1},   {"safe", 0, 2},  {"list", 0, 3},     {"user", 1, 4},
    {"delete", 1, 5}, {"only", 0, 6},  {"help", 0, 7},     {"-help", 0, 7},
    {"trace", 1, 8},  {"debug", 0, 9}, {"version", 0, 10}, {nullptr, 0, code_unknown},
};

const OptionEntry &find_option(const char *name)
{
    const OptionEntry *entry = options;
    while (entry->name != nullptr && strcmp(entry->name, name) != 0)
        ++entry;
    return *entry;
}

// Output that did not reach its reader is a failure, not a success.
[[noreturn]] void normal_end()
{
    flush_standard_output();
    close_trace_file();
    exit(0);
}

// A closed standard descriptor would be taken by the next open, and whatever
// the program writes to it would land in that file.
void fill_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", O_RDWR) != fd)
            _exit(1);
    }
}

[[noreturn]] void usage_end()
{
    fprintf(stderr, usage_text, program_name);
    close_trace_file();
    exit(1);
}

void select_mode(const char *base)
{
    for (const char *name : {"zcrantmark", "zvestmark", "ztolmark"}) {
        if (strcmp(base, name) == 0) {
            mode = name;
            passtype = strcmp(base, "zcrantmark") == 0 ? 1 : 0;
            onlysw = passtype == 0;
            // The caller chooses argv[0]: the log names the mode instead.
            openlog(mode, LOG_PID, LOG_LOCAL0);
            return;
        }
    }
    exit_with_error("Unknown mode: %s", base);
}

// The trace file is opened with the caller's own rights, so that a
// set-user-id run cannot append to a file that the caller may not write.
void open_trace_file(const char *name)
{
    ++debug_level;
    uid_t saved_euid = geteuid();
    if (setresuid(static_cast<uid_t>(-1), getuid(), static_cast<uid_t>(-1)) != 0)
        exit_with_error("internal error @ %i", 490);
    FILE *file = fopen(name, "a+");
    if (file == nullptr) {
        int err = errno;
        exit_with_error("Unable to open trace file \"%s\": %s (%d)\n", name, strerror(err), err);
    }
    trace_file = file; // an earlier trace stream stays open, unused
    trace_log(trace_file, LOG_DEBUG, "Trace and Debug destination is file \"%s\"",
              printable_text(name));
    if (setresuid(static_cast<uid_t>(-1), saved_euid, static_cast<uid_t>(-1)) != 0)
        exit_with_error("internal error @ %i", 500);
}

// The end of the argument area, as it was before any word left it.
char *arguments_end = nullptr;

// Whether the words lie one after the other in the argument area.
bool one_area(int argc, char **argv)
{
    for (int i = 0; i < argc; ++i)
        if (argv[i] < argv[0] || argv[i] >= arguments_end || (i > 0 && argv[i] <= argv[i - 1]))
            return false;
    return true;
}

// A secret leaves the process listing in the same step that takes it: a
// wiped one would show its length as a run of NULs. The words after it move
// up over it, the room that frees at the end is wiped, and the area's last
// byte made other than NUL, which has the kernel show it only up to its first
// NUL (argv[0]) until retitle writes the title. The word leaves argv too.
void take_secret_argument(int &argc, char **argv, int at)
{
    char *word = argv[at];
    size_t len = strlen(word);
    size_t kept = std::min(len, secret_max);
    memcpy(request.secret_argument, word, kept);
    request.secret_argument[kept] = '\0';
    request.has_secret_argument = true;
    if (one_area(argc, argv)) {
        char *rest = word + len + 1;
        memmove(word, rest, static_cast<size_t>(arguments_end - rest));
        explicit_bzero(arguments_end - len - 1, len + 1);
        arguments_end[-1] = ' ';
        for (int i = at + 1; i < argc; ++i)
            argv[i] -= len + 1;
    } else {
        explicit_bzero(word, len); // not one area: the wipe must do
    }
    for (int i = at; i < argc; ++i)
        argv[i] = argv[i + 1];
    --argc;
}

// The words that are left are written over the argument area as one title,
// and its last byte is made other than NUL, so that the kernel shows the
// title only up to its own NUL. The words read from the area later are
// copied first.
void retitle(int argc, char **argv)
{
    char *area = argv[0];
    if (!one_area(argc, argv))
        return;
    size_t size = static_cast<size_t>(arguments_end - area);
    char *title = static_cast<char *>(calloc(size, 1));
    if (title == nullptr)
        return;
    program_name = own_copy(program_name);
    if (request.target_name != nullptr)
        request.target_name = own_copy(request.target_name);
    size_t len = 0;
    for (int i = 0; i < argc && len < size; ++i)
        if (argv[i][0] != '\0')
            len += static_cast<size_t>(
                snprintf(title + len, size - len, len == 0 ? "%s" : " %s", argv[i]));
    memcpy(area, title, size);
    area[size - 1] = ' ';
    free(title);
}

void read_switches(int &argc, char **argv)
{
    int i = 1;
    while (i < argc) {
        const char *word = argv[i];
        if (word[0] != '-') {
            fprintf(stderr, "%s: unrecognized switch \"%s\"", program_name, word);
            usage_end();
        }
        const char *name = word + 1;
        const OptionEntry &option = find_option(name);
        bool has_next = i + 1 < argc;
        if (option.takes_argument != 0 && (!has_next || argv[i + 1][0] == '-'))
            exit_with_error("missing argument for %s", word);
        if (debug_level != 0)
            trace_log(trace_file, LOG_DEBUG, "...processing switch '-%s'", printable_text(name));

        int consumed = 1;
        switch (option.code) {
        case 1:
            request.action = Action::init;
            break;
        case 2:
            request.safe = true;
            break;
        case 3:
            request.action = Action::list;
            if (has_next && argv[i + 1][0] != '-') {
                request.target_name = argv[i + 1];
                consumed = 2;
            }
            break;
        case 4:
            request.target_name = argv[i + 1];
            request.user_switch = true;
            consumed = 2;
            // A password is the one of the user it follows: a later -user
            // without one never gets an earlier user's.
            request.has_secret_argument = false;
            explicit_bzero(request.secret_argument, sizeof request.secret_argument);
            if (i + 2 < argc && argv[i + 2][0] != '-')
                take_secret_argument(argc, argv, i + 2);
            break;
        case 5:
            request.action = Action::remove;
            request.target_name = argv[i + 1];
            consumed = 2;
            break;
        case 6:
            onlysw = true;
            break;
        case 7:
            usage_end();
        case 8:
            open_trace_file(argv[i + 1]);
            consumed = 2;
            break;
        case 9:
            debug_level = 1;
            break;
        case 10:
            printf("%s v%s\n", program_name, version);
            normal_end();
        default:
            fprintf(stderr, "%s: \"-%s\" unknown option\n", program_name, name);
            usage_end();
        }
        i += consumed;
    }
}

CallerIdentity identify_caller()
{
    CallerIdentity caller;
    caller.real_uid = getuid();
    const struct passwd *pw = find_account_of(caller.real_uid);
    if (pw == nullptr)
        exit_with_error("Sorry, don't know who you (uid %d) are.",
                        static_cast<int>(caller.real_uid));
    caller.caller_name = own_copy(pw->pw_name);
    pw = find_account(pop_account);
    if (pw == nullptr)
        exit_with_error("\"%s\": userid unknown", pop_account);
    caller.pop_uid = pw->pw_uid;
    caller.pop_gid = pw->pw_gid;
    caller.privileged = caller.real_uid == 0 || caller.real_uid == caller.pop_uid;
    return caller;
}

// An ordinary caller may change his own secret and list his own entry by
// name; only the superuser initialises.
void enforce_permissions(const CallerIdentity &caller)
{
    if (!caller.privileged) {
        bool names_other =
            request.target_name != nullptr &&
            (strcmp(caller.caller_name, request.target_name) != 0 || request.user_switch);
        if (request.action == Action::remove || names_other)
            exit_with_error("Only superuser or user \"%s\" can perform the requested function",
                            pop_account);
    }
    if (caller.real_uid != 0 && request.action == Action::init)
        exit_with_error("Only superuser can perform the requested function");
    if (request.action == Action::remove)
        fprintf(stderr, "Warning: deleting user \"%s\"\n", request.target_name);
}

} // namespace

int main(int argc, char **argv)
{
    fill_standard_descriptors();
    // An output that meets a file size limit fails, and is reported, instead
    // of ending the run without a word.
    signal(SIGXFSZ, SIG_IGN);
    // The password database and Berkeley DB need descriptors of their own.
    raise_soft_limit(RLIMIT_NOFILE);
    umask(077);
    program_name = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    const char *slash = strrchr(program_name, '/');
    const char *base = slash != nullptr ? slash + 1 : program_name;
    select_mode(base);

    atexit(wipe_secret_argument);
    arguments_end = argc > 0 ? argv[argc - 1] + strlen(argv[argc - 1]) + 1 : nullptr;
    read_switches(argc, argv);
    if (request.has_secret_argument)
        retitle(argc, argv);
    if (passtype == 1)
        exit_with_error("not compiled with SCRAM option");

    CallerIdentity caller = identify_caller();
    enforce_permissions(caller);
    prepare_db_paths();
    prepare_journal(caller, request.action);

    if (request.action == Action::remove)
        delete_user(request, caller);
    else if (request.action == Action::init)
        initialize_db(request, caller);
    else if (request.action == Action::list)
        list_entries(request, caller);
    else
        change_secret(request, caller);
    normal_end();
}

// The authentication database: where it lives, how its records are laid out,
// how it is opened and locked, and the four actions on it.
#include <bsd/readpassphrase.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "authdb.h"

#ifndef TOLMARK_DB_PATH
#error "TOLMARK_DB_PATH must name the database"
#endif

const char db_path[] = TOLMARK_DB_PATH;
const char db_file[] = TOLMARK_DB_PATH ".db";

char *own_copy(const char *name)
{
    char *copy = strdup(name);
    if (copy == nullptr)
        exit_with_error("%s", strerror(ENOMEM));
    return copy;
}

// ---- records ----

RecordFields split_record(const char *data, size_t size)
{
    RecordFields fields;
    size_t apop_len = strnlen(data, size);
    fields.apop = std::string_view(data, apop_len);
    if (apop_len + 1 < size) {
        const char *scram = data + apop_len + 1;
        fields.scram = std::string_view(scram, strnlen(scram, size - apop_len - 1));
    }
    return fields;
}

static size_t copy_field(std::string_view field, char *out)
{
    size_t len = field.size() < field_size - 1 ? field.size() : field_size - 1;
    if (len > 0)
        memcpy(out, field.data(), len);
    out[len] = '\0';
    return len;
}

void load_record(const RecordFields &fields, AuthRecord &record)
{
    record.apop_len = copy_field(fields.apop, record.apop);
    record.scram_len = copy_field(fields.scram, record.scram);
}

void complement_encode(char *dst, const char *src, size_t len)
{
    for (size_t i = 0; i < len; ++i)
        dst[i] = static_cast<char>(~static_cast<unsigned char>(src[i]));
}

bool build_record(char *out, size_t out_size, const char *secret, size_t secret_len,
                  std::string_view scram, size_t *len)
{
    if (secret_len + scram.size() + 2 > out_size)
        return false;
    complement_encode(out, secret, secret_len);
    out[secret_len] = '\0';
    if (!scram.empty())
        memcpy(out + secret_len + 1, scram.data(), scram.size());
    out[secret_len + 1 + scram.size()] = '\0';
    *len = secret_len + scram.size() + 2;
    return true;
}

datum make_key(const char *name)
{
    // ndbm takes a non-const pointer but never writes through a key.
    return datum{const_cast<char *>(name), static_cast<int>(strlen(name) + 1)};
}

size_t key_length(const datum &key)
{
    size_t size = key.dsize > 0 ? static_cast<size_t>(key.dsize) : 0;
    return strnlen(key.dptr, size < field_size - 1 ? size : field_size - 1);
}

void key_text(const datum &key, char *out, size_t out_size)
{
    size_t len = key_length(key);
    if (len > out_size - 1)
        len = out_size - 1;
    memcpy(out, key.dptr, len);
    out[len] = '\0';
}

// ---- opening ----

void prepare_db_paths()
{
    if (debug_level != 0)
        trace_log(trace_file, LOG_DEBUG, "BSD44_DBM: auth_dir=%s", db_file);
}

namespace
{

const char open_file_failure[] = "%s: unable to open POP authentication DB:\n\t%s (%d) [%d]";
const char lock_file_failure[] = "%s: unable to lock POP authentication DB:\n\t%s (%d) [%d]";

[[noreturn]] void fail_read_open(int err)
{
    exit_with_error("unable to open POP authentication DB %s:\n\t%s (%i) [%i]", db_path,
                    db_strerror(err), err, 1063);
}

// Listing every entry reads the file once, through one cursor that hands
// back each key with its record: ndbm would look every key up again.
DBC *open_walk()
{
    DB *db = nullptr;
    int err = db_create(&db, nullptr, 0);
    if (err == 0)
        err = db->open(db, nullptr, db_file, nullptr, DB_HASH, DB_RDONLY, 0);
    DBC *cursor = nullptr;
    if (err == 0)
        err = db->cursor(db, nullptr, &cursor, 0);
    if (err != 0)
        fail_read_open(err);
    return cursor;
}

// Holds the database open for writing, its file exclusively locked and every
// catchable signal blocked, so that no other writer or reader meets a half
// written file and the caller cannot stop the process halfway.
struct WriteOpening {
    DBM *db;
    int fd;
    sigset_t saved_mask;
};

WriteOpening open_db_for_writing(const char *open_failure, int site)
{
    WriteOpening opening{};
    // SIGKILL cannot be blocked: give up the caller's real uid, so that he can
    // no longer signal the process. His rights were settled before.
    uid_t euid = geteuid();
    if (getuid() != euid && setresuid(euid, euid, euid) != 0)
        exit_with_error("internal error @ %i", 1086);

    opening.fd = open(db_file, O_RDWR | O_CLOEXEC);
    if (opening.fd < 0) {
        int err = errno;
        exit_with_error(open_file_failure, db_file, strerror(err), err, 1087);
    }
    // The wait for the lock may be interrupted from the terminal: nothing is
    // written yet. From the lock on, nothing stops the process.
    if (flock(opening.fd, LOCK_EX) != 0) {
        int err = errno;
        exit_with_error(lock_file_failure, db_file, strerror(err), err, 1088);
    }
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &opening.saved_mask);
    opening.db = dbm_open(db_path, O_RDWR, 0);
    if (opening.db == nullptr) {
        int err = errno;
        exit_with_error(open_failure, db_path, strerror(err), err, site);
    }
    return opening;
}

// Closing the descriptor releases the lock.
void close_db_for_writing(WriteOpening &opening)
{
    dbm_close(opening.db);
    close(opening.fd);
}

// Signals stay blocked until the action's audit notice is out, so that an
// interrupt cannot leave a completed change unrecorded.
void unblock_signals(const WriteOpening &opening)
{
    sigprocmask(SIG_SETMASK, &opening.saved_mask, nullptr);
}

datum fetch_single(DBM *db, const datum &key)
{
    if (debug_level != 0)
        trace_log(trace_file, LOG_DEBUG, "...fetching: (%d) '%s'", key.dsize,
                  printable(key.dptr, key.dsize));
    datum record = dbm_fetch(db, key);
    report_db_status(db, "fetch", 1);
    return record;
}

// Berkeley DB hands back an empty record sometimes as a null pointer and
// sometimes as a stale one of size 0: count it as no record, the same way
// everywhere.
bool has_record(const datum &record)
{
    return record.dptr != nullptr && record.dsize > 0;
}

RecordFields fields_of(const datum &record)
{
    return split_record(record.dptr, static_cast<size_t>(record.dsize));
}

} // namespace

ReadOpening open_db_for_reading(int file_flags, bool walk)
{
    ReadOpening opening{};
    // Berkeley DB reads pages when it opens a database: lock the file first.
    opening.fd = open(db_file, file_flags | O_CLOEXEC);
    if (opening.fd < 0) {
        int err = errno;
        DBM *probe = dbm_open(db_path, O_RDONLY, 0);
        if (probe == nullptr)
            fail_read_open(errno);
        dbm_close(probe);
        exit_with_error(open_file_failure, db_file, strerror(err), err, 1075);
    }
    if (flock(opening.fd, LOCK_SH) != 0) {
        int err = errno;
        exit_with_error(lock_file_failure, db_file, strerror(err), err, 1078);
    }
    if (walk) {
        opening.walk = open_walk();
        return opening;
    }
    opening.db = dbm_open(db_path, O_RDONLY, 0);
    if (opening.db == nullptr)
        fail_read_open(errno);
    return opening;
}

// ---- delete and initialise ----

void delete_user(const Request &request, const CallerIdentity &caller)
{
    const char *name = request.target_name;
    WriteOpening opening =
        open_db_for_writing("%s: unable to open POP authentication DB: %s (%i) [%i]", 949);
    datum key = make_key(name);
    bool found = has_record(fetch_single(opening.db, key));
    // An empty record from other software shows as none, yet its key must
    // still go: try the delete before calling the user unknown.
    int deleted = dbm_delete(opening.db, key);
    if (!found && deleted < 0) {
        close_db_for_writing(opening);
        exit_with_error("User '%s' not found in authentication database", name);
    }
    if (deleted < 0) {
        close_db_for_writing(opening);
        exit_with_error("Unable to delete user '%s' from authentication database", name);
    }
    close_db_for_writing(opening);
    trace_log(trace_file, LOG_NOTICE, "tolmark: user \"%s\" deleted by \"%s\" from db \"%s\"", name,
              caller.caller_name, db_path);
    unblock_signals(opening);
}

void initialize_db(const Request &request, const CallerIdentity &caller)
{
    (void)setuid(getuid());
    struct stat st;
    if (stat(db_file, &st) == 0) {
        if (request.safe) {
            fprintf(stderr, "POP authentication DB not initialized (exists): %s\n", db_file);
            return;
        }
        fputs("Really initialize POP authentication DB? ", stdout);
        fflush(stdout);
        char answer[30];
        if (fgets(answer, sizeof answer, stdin) == nullptr || answer[0] != 'y') {
            close_trace_file();
            exit(1);
        }
        (void)unlink(db_file);
        trace_log(trace_file, LOG_NOTICE, "tolmark: user \"%s\" removed existing db \"%s\"",
                  caller.caller_name, db_path);
    }
    DBM *db = dbm_open(db_path, O_RDWR | O_CREAT, 0600);
    if (db == nullptr) {
        int err = errno;
        exit_with_error("unable to create POP authentication DB %s: %s (%d) [%d]", db_path,
                        strerror(err), err, 1037);
    }
    dbm_close(db);
    if (chown(db_file, caller.pop_uid, caller.pop_gid) != 0) {
        int err = errno;
        exit_with_error("error setting ownership of POP authentication DB %s: %s (%d) [%d]",
                        db_path, strerror(err), err, 1045);
    }
    trace_log(trace_file, LOG_NOTICE, "tolmark: user \"%s\" initialized db \"%s\"",
              caller.caller_name, db_path);
}

// ---- listing ----

namespace
{

const char *listed_name(const Request &request, const CallerIdentity &caller)
{
    return request.target_name != nullptr ? request.target_name : caller.caller_name;
}

const char *yes_no(bool present)
{
    return present ? "yes" : "no";
}

// The name is len bytes, not necessarily NUL-ended: keys are printed
// straight from the database, without a copy.
void print_entry(const char *name, int len, const RecordFields &fields)
{
    bool apop = !fields.apop.empty();
    bool scram = !fields.scram.empty();
    printf("%-16.*s: %s %s\n", len, name, apop ? "APOP" : "    ", scram ? "SCRAM" : "");
    if (debug_level != 0) {
        char text[field_size];
        snprintf(text, sizeof text, "%.*s", len, name);
        trace_log(trace_file, LOG_DEBUG, "Listing user \"%s\": APOP %s; SCRAM %s", text,
                  yes_no(apop), yes_no(scram));
    }
}

// The error number that ndbm leaves for a failed step: Berkeley DB's own
// codes are folded into system error numbers.
int ndbm_errno(int err)
{
    if (err >= 0)
        return err;
    return err == DB_RUNRECOVERY ? EFAULT : EINVAL;
}

// Reports what the ndbm loop of first key, next key and fetch reported, so
// that traces and error reports read as they always have.
void list_all(DBC *cursor)
{
    // One write per buffer-full, not per line.
    static char output[1 << 16];
    setvbuf(stdout, output, _IOFBF, sizeof output);
    if (debug_level != 0)
        trace_log(trace_file, LOG_DEBUG, "Listing all users... ");
    DBT key_bytes{};
    DBT record_bytes{};
    int err;
    while ((err = cursor->get(cursor, &key_bytes, &record_bytes, DB_NEXT)) == 0) {
        datum key{static_cast<char *>(key_bytes.data), static_cast<int>(key_bytes.size)};
        datum record{static_cast<char *>(record_bytes.data), static_cast<int>(record_bytes.size)};
        if (debug_level != 0)
            trace_log(trace_file, LOG_DEBUG, "...fetching: (%d)'%s'", key.dsize,
                      printable(key.dptr, key.dsize));
        // The record came with its key: a fetch of it succeeds.
        report_db_state(0, errno, "fetch", false);
        int len = static_cast<int>(key_length(key));
        if (!has_record(record)) {
            printf("%.*s:%*s *** no information?!?\n", len < 16 ? len : 16, key.dptr, 16 - len,
                   " ");
            if (debug_level != 0) {
                char name[field_size];
                key_text(key, name, sizeof name);
                trace_log(trace_file, LOG_DEBUG, "*** No information for user \"%s\"", name);
            }
            continue;
        }
        // Only traces and the line above cut a name; an entry shows it whole.
        print_entry(key.dptr, static_cast<int>(strnlen(key.dptr, key_bytes.size)),
                    fields_of(record));
    }
    // At the end of the walk, ndbm leaves ENOENT; after a failure, the
    // handle's error flag as its state.
    if (err == DB_NOTFOUND)
        report_db_state(0, ENOENT, "first/next key", true);
    else
        report_db_state(DB_AM_DBM_ERROR, ndbm_errno(err), "first/next key", true);
}

} // namespace

bool lists_all(const Request &request, const CallerIdentity &caller)
{
    return strcmp(listed_name(request, caller), "ALL") == 0;
}

void list_entries(ReadOpening &opening, const Request &request, const CallerIdentity &caller)
{
    const char *name = listed_name(request, caller);
    if (strcmp(name, "ALL") == 0) {
        list_all(opening.walk);
        // Closing the database closes its cursor.
        opening.walk->dbp->close(opening.walk->dbp, 0);
        opening.walk = nullptr;
        return;
    }
    datum record = fetch_single(opening.db, make_key(name));
    if (!has_record(record))
        exit_with_error("no entry for \"%s\" in POP authentication DB", name);
    print_entry(name, static_cast<int>(strlen(name)), fields_of(record));
    dbm_close(opening.db);
    opening.db = nullptr;
}

// ---- setting a secret ----

namespace
{

// Every buffer that holds a secret, in one place, wiped at every exit.
struct SecretBuffers {
    AuthRecord stored;
    char old_secret[secret_max + 1];
    char new_secret[secret_max + 1];
    char retyped[secret_max + 2]; // one more, to tell an overlong answer apart
    char record[record_max];
};
SecretBuffers secrets;

void wipe_secrets()
{
    explicit_bzero(&secrets, sizeof secrets);
}

// An answer that cannot be read (no terminal, end of input) is empty.
size_t read_secret(const char *prompt, char *buffer, size_t size)
{
    if (readpassphrase(prompt, buffer, size, RPP_ECHO_OFF) == nullptr)
        buffer[0] = '\0';
    return strlen(buffer);
}

[[noreturn]] void end_unchanged(const char *message)
{
    fputs(message, stderr);
    close_trace_file();
    exit(1);
}

bool is_removal_mark(const char *secret, size_t len)
{
    return len == 1 && secret[0] == '*';
}

// 0xff would encode as NUL and end the stored field early.
void refuse_unstorable(const char *secret, size_t len)
{
    if (memchr(secret, 0xff, len) != nullptr)
        exit_with_error("Sorry, a password may not contain the byte 0xff");
}

int secret_classes(const char *secret, size_t len)
{
    int classes = 0;
    for (size_t i = 0; i < len; ++i) {
        char c = secret[i];
        if (c >= '0' && c <= '9')
            classes |= 1;
        else if (c >= 'a' && c <= 'z')
            classes |= 2;
        else if (c >= 'A' && c <= 'Z')
            classes |= 4;
        else
            classes |= 8;
    }
    return classes;
}

bool strong_enough(int classes, size_t len)
{
    if (classes >= 7)
        return len >= 4;
    if (classes == 2 || classes == 4)
        return len >= 6;
    if (classes == 3 || classes == 5 || classes == 6)
        return len >= 5;
    return false;
}

// The caller frees the name returned.
char *target_user(const Request &request, const CallerIdentity &caller)
{
    if (request.target_name == nullptr)
        return own_copy(caller.caller_name);
    const struct passwd *pw = getpwnam(request.target_name);
    if (pw == nullptr)
        exit_with_error("Sorry, don't know who user %s is.", request.target_name);
    return own_copy(pw->pw_name);
}

// The caller proves the stored secret; an unencoded one is accepted too.
size_t check_old_secret()
{
    const AuthRecord &stored = secrets.stored;
    size_t len = read_secret("Old password:", secrets.old_secret, sizeof secrets.old_secret);
    bool direct = len == stored.apop_len && memcmp(secrets.old_secret, stored.apop, len) == 0;
    bool decoded = len == stored.apop_len;
    for (size_t i = 0; decoded && i < len; ++i)
        decoded = secrets.old_secret[i] == static_cast<char>(~stored.apop[i]);
    if (len == 0 || !(direct || decoded))
        exit_with_error("Sorry, password entered incorrectly\n");
    return len;
}

size_t take_secret_argument(Request &request)
{
    size_t len = strlen(request.secret_argument);
    memcpy(secrets.new_secret, request.secret_argument, len + 1);
    explicit_bzero(request.secret_argument, sizeof request.secret_argument);
    refuse_unstorable(secrets.new_secret, len);
    return is_removal_mark(secrets.new_secret, len) ? 0 : len;
}

size_t ask_new_secret(size_t old_len)
{
    char *secret = secrets.new_secret;
    size_t len = 0;
    int classes = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) {
            printf("Please use %s.\n",
                   classes == 1 ? "at least one non-numeric character" : "a longer password");
            fflush(stdout);
        }
        len = read_secret("New password:", secret, sizeof secrets.new_secret);
        if (len == 0 || (old_len >= len && memcmp(secrets.old_secret, secret, len) == 0))
            end_unchanged("Password unchanged.\n");
        refuse_unstorable(secret, len);
        if (is_removal_mark(secret, len))
            break;
        classes = secret_classes(secret, len);
        if (strong_enough(classes, len))
            break;
    }
    size_t retyped_len =
        read_secret("Retype new password:", secrets.retyped, sizeof secrets.retyped);
    bool same = retyped_len == len && memcmp(secrets.retyped, secret, len) == 0;
    explicit_bzero(secrets.retyped, sizeof secrets.retyped);
    if (!same)
        end_unchanged("Mismatch -- password unchanged.\n");
    return is_removal_mark(secret, len) ? 0 : len;
}

// Returns the closed opening, whose signals the caller lets through after
// its notice.
WriteOpening store_secret(const datum &key, const char *target, size_t secret_len)
{
    WriteOpening opening =
        open_db_for_writing("%s: unable to open POP authentication DB:\n\t%s (%i) [%i]", 1383);
    // The record may have changed since it was read: carry over its SCRAM
    // field as it stands now, under the lock.
    datum current = fetch_single(opening.db, key);
    std::string_view scram = has_record(current) ? fields_of(current).scram : std::string_view();
    size_t len = 0;
    if (!build_record(secrets.record, sizeof secrets.record, secrets.new_secret, secret_len, scram,
                      &len)) {
        close_db_for_writing(opening);
        exit_with_error("POP authentication DB record for %s is too long to rewrite", target);
    }
    datum content{secrets.record, static_cast<int>(len)};
    int result = dbm_store(opening.db, key, content, DBM_REPLACE);
    explicit_bzero(secrets.record, sizeof secrets.record);
    report_db_status(opening.db, "store", 0);
    close_db_for_writing(opening);
    if (result != 0)
        exit_with_error("POP authentication DB %s may be corrupt?!?", db_file);
    return opening;
}

} // namespace

void change_secret(ReadOpening &opening, Request &request, const CallerIdentity &caller)
{
    atexit(wipe_secrets);
    char *target = target_user(request, caller);
    datum key = make_key(target);

    datum record = fetch_single(opening.db, key);
    bool exists = has_record(record);
    if (exists) {
        load_record(fields_of(record), secrets.stored);
        if (debug_level != 0)
            trace_log(trace_file, LOG_DEBUG, "user %s exists in db (%d/%d)", target,
                      static_cast<int>(secrets.stored.apop_len),
                      static_cast<int>(secrets.stored.scram_len));
    } else if (debug_level != 0) {
        trace_log(trace_file, LOG_DEBUG, "user %s doesn't exist -- adding", target);
    }
    const char *only = onlysw ? "only " : "";
    fprintf(stderr, "%s %s%s %s for %s.\n", exists ? "Changing" : "Adding", only, "APOP",
            "password", target);

    size_t old_len = 0;
    if (!caller.privileged && secrets.stored.apop_len > 0)
        old_len = check_old_secret();
    explicit_bzero(&secrets.stored, sizeof secrets.stored);

    dbm_close(opening.db);
    opening.db = nullptr;
    if (flock(opening.fd, LOCK_UN) != 0) {
        int err = errno;
        exit_with_error("%s: unable to unlock POP authentication DB\n\t%s (%d) [%d]", db_file,
                        strerror(err), err, 1301);
    }

    size_t len =
        request.has_secret_argument ? take_secret_argument(request) : ask_new_secret(old_len);
    explicit_bzero(secrets.old_secret, sizeof secrets.old_secret);
    WriteOpening written = store_secret(key, target, len);
    explicit_bzero(secrets.new_secret, sizeof secrets.new_secret);
    trace_log(trace_file, LOG_NOTICE, "tolmark: %s %s %s%s %s for %s", caller.caller_name,
              exists ? "changed" : "added", only, "APOP", "password", target);
    unblock_signals(written);
    free(target);
}

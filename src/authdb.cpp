// The authentication database: where it lives, how its records are laid out,
// how it is opened and locked, and the four actions on it.
#include <bsd/readpassphrase.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <grp.h>
#include <optional>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include "authdb.h"

#ifndef TOLMARK_DB_PATH
#error "TOLMARK_DB_PATH must name the database"
#endif

const char db_path[] = TOLMARK_DB_PATH;
const char db_file[] = TOLMARK_DB_PATH ".db";

rlim_t raise_soft_limit(int resource)
{
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0)
        return RLIM_INFINITY; // nothing known to stand in the way
    limit.rlim_cur = limit.rlim_max;
    setrlimit(resource, &limit);
    return limit.rlim_max;
}

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
const char corrupt[] = "POP authentication DB %s may be corrupt?!?";

// Every wait for the lock ends, as the system's password-file lock does.
constexpr long lock_wait_ms = 15000;
// Descriptors that Berkeley DB may need while the exclusive lock is held.
constexpr int descriptors_needed = 16;
// Room reserved past the file's end before each write: one store or delete
// has never been seen to add more than 36 KiB there.
constexpr off_t reserve_bytes = 256 * 1024;
// Free space left after the reservation: a doubling of the hash table writes
// one page far past the end, and the file system needs its own blocks.
constexpr unsigned long long free_bytes_needed = 64 * 1024;
// CPU seconds left under the hard limit before a write begins.
constexpr rlim_t cpu_seconds_needed = 5;

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

long long now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void on_alarm(int) {}

// Takes the lock, waiting no later than the deadline. False, with errno set,
// when it cannot; EWOULDBLOCK when the time ran out.
bool lock_before(int fd, int how, long long deadline)
{
    struct sigaction wake {
    }, saved{};
    wake.sa_handler = on_alarm; // no SA_RESTART: the alarm ends the wait
    sigemptyset(&wake.sa_mask);
    sigaction(SIGALRM, &wake, &saved);
    sigset_t alarm_only, mask;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarm_only, &mask);
    int err = 0;
    while (flock(fd, how | LOCK_NB) != 0) {
        err = errno;
        long long left = deadline - now_ms();
        if (err != EWOULDBLOCK || left <= 0)
            break;
        // Repeated, in case it fires before the wait begins.
        itimerval timer{};
        timer.it_value.tv_sec = static_cast<time_t>(left / 1000);
        timer.it_value.tv_usec = static_cast<suseconds_t>(left % 1000 * 1000 + 1);
        timer.it_interval.tv_usec = 100000;
        setitimer(ITIMER_REAL, &timer, nullptr);
        int locked = flock(fd, how);
        err = errno;
        timer = {};
        setitimer(ITIMER_REAL, &timer, nullptr);
        if (locked == 0) {
            err = 0;
            break;
        }
        if (err != EINTR)
            break;
        err = EWOULDBLOCK;
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    errno = err;
    return err == 0;
}

// -init may have put a new file in place while this process waited.
bool still_db_file(int fd)
{
    struct stat held, named;
    return fstat(fd, &held) == 0 && stat(db_file, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

// Opens db_file without waiting on whatever sits there (a FIFO would hang the
// open); only a regular file is used. -1 with errno set on failure.
int open_regular(const char *path, int flags)
{
    int fd = open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Opens and locks db_file, starting over when the file was replaced while
// this process waited. -1 with errno set when it cannot be opened; a lock
// that cannot be had within the bound ends the run.
int open_and_lock(int flags, int how, int lock_site)
{
    long long deadline = now_ms() + lock_wait_ms;
    for (;;) {
        int fd = open_regular(db_file, flags);
        if (fd < 0)
            return -1;
        int err = EWOULDBLOCK;
        if (lock_before(fd, how, deadline)) {
            if (still_db_file(fd))
                return fd;
        } else {
            err = errno;
        }
        close(fd);
        if (err != EWOULDBLOCK || now_ms() >= deadline)
            exit_with_error(lock_file_failure, db_file, strerror(err), err, lock_site);
    }
}

void give_up_real_uid()
{
    // SIGKILL cannot be blocked: give up the caller's real uid, so that he can
    // no longer signal the process. His rights were settled before.
    uid_t euid = geteuid();
    if (getuid() != euid && setresuid(euid, euid, euid) != 0)
        exit_with_error("internal error @ %i", 1086);
}

// Berkeley DB retries an open that lacks a descriptor for seconds: make sure
// it will not, before the lock is taken. The limit was raised at start-up.
void ensure_descriptors()
{
    int spare[descriptors_needed];
    int free_count = 0;
    while (free_count < descriptors_needed &&
           (spare[free_count] = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0)) >= 0)
        ++free_count;
    for (int i = 0; i < free_count; ++i)
        close(spare[i]);
    if (free_count < descriptors_needed)
        exit_with_error("too few free file descriptors (%d of %d) to open POP authentication DB "
                        "%s",
                        free_count, descriptors_needed, db_file);
}

[[noreturn]] void refuse_write(const char *why, int err)
{
    if (err == 0)
        exit_with_error("POP authentication DB %s not changed: %s", db_file, why);
    exit_with_error("POP authentication DB %s not changed: %s: %s (%d)", db_file, why,
                    strerror(err), err);
}

// A page that cannot be written leaves the file half changed: before anything
// is written, make sure that no write of this change can meet a file-size
// limit or a full file system.
void reserve_room(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        refuse_write("cannot measure it", errno);
    // A doubling of the hash table makes the file as large again at once.
    off_t reach = 2 * st.st_size + reserve_bytes;
    rlim_t limit = raise_soft_limit(RLIMIT_FSIZE);
    if (limit != RLIM_INFINITY && limit < static_cast<rlim_t>(reach))
        refuse_write("the file size limit is too low for the change", EFBIG);
    // The hard CPU limit ends the process with SIGKILL, which nothing holds
    // back: a write needs far less than the time left.
    limit = raise_soft_limit(RLIMIT_CPU);
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    if (limit != RLIM_INFINITY && limit < static_cast<rlim_t>(used.tv_sec) + cpu_seconds_needed)
        refuse_write("the CPU time limit is too low for the change", 0);
    // Allocating the file's holes changes none of its bytes.
    unsigned long long unreserved = 0;
    if ((st.st_size > 0 && fallocate(fd, 0, 0, st.st_size) != 0) ||
        fallocate(fd, FALLOC_FL_KEEP_SIZE, st.st_size, reserve_bytes) != 0) {
        if (errno != EOPNOTSUPP)
            refuse_write("no room for the change", errno);
        off_t holes = st.st_size - st.st_blocks * 512;
        unreserved = static_cast<unsigned long long>((holes > 0 ? holes : 0) + reserve_bytes);
    }
    struct statvfs fs;
    if (fstatvfs(fd, &fs) != 0)
        refuse_write("cannot measure its file system", errno);
    if (static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize < unreserved + free_bytes_needed)
        refuse_write("no room for the change", ENOSPC);
}

// Berkeley DB's own messages are held back with the rest.
void on_db_message(const DB_ENV *, const char *prefix, const char *text)
{
    if (prefix != nullptr)
        emit(stderr, "%s: %s\n", prefix, text);
    else
        emit(stderr, "%s\n", text);
}

// The database open for writing through Berkeley DB's own interface, whose
// close reports a page it could not write; its file exclusively locked.
struct WriteOpening {
    DB *db;
    int fd;
};

WriteOpening open_db_for_writing(const char *open_failure, int site)
{
    give_up_real_uid();
    ensure_descriptors();
    // A ^Z between the lock and the block would stop the holder.
    block_stop_signals();
    WriteOpening opening{};
    opening.fd = open_and_lock(O_RDWR, LOCK_EX, 1088);
    if (opening.fd < 0) {
        int err = errno;
        exit_with_error(open_failure, db_path, strerror(err), err, site);
    }
    // From the lock to its release nothing stops the process, and nothing is
    // written where the caller could make it wait.
    block_all_signals();
    locked_fd = opening.fd;
    hold_output();
    reserve_room(opening.fd);
    int ret = db_create(&opening.db, nullptr, 0);
    if (ret == 0) {
        opening.db->set_errcall(opening.db, on_db_message);
        ret = opening.db->open(opening.db, nullptr, db_file, nullptr, DB_HASH, 0, 0);
    }
    if (ret != 0)
        exit_with_error(open_failure, db_path, db_strerror(ret), ret, site);
    return opening;
}

// Closes the database without writing anything more to it.
void abandon_write(WriteOpening &opening)
{
    opening.db->close(opening.db, DB_NOSYNC);
    opening.db = nullptr;
}

// Writes the change back. A failed flush or close may have left the file
// half written: fatal, before any notice.
void finish_write(WriteOpening &opening)
{
    // The close flushes the cache and reports a page it could not write.
    int closed = opening.db->close(opening.db, 0);
    opening.db = nullptr;
    if (closed != 0)
        exit_with_error(corrupt, db_file);
    release_lock(); // the output held back follows the audit notice's way
}

// Berkeley DB's answer reported as the ndbm interface reports it: a missing
// key is no error and leaves ENOENT.
void report_db_result(int ret, const char *operation, int tolerant)
{
    int saved_errno = errno;
    if (ret == DB_NOTFOUND)
        saved_errno = ENOENT;
    else if (ret > 0)
        saved_errno = ret;
    report_db_state(ret == DB_NOTFOUND ? 0 : ret, saved_errno, operation, tolerant != 0);
}

DBT dbt_of(const datum &d)
{
    DBT dbt{};
    dbt.data = d.dptr;
    dbt.size = static_cast<u_int32_t>(d.dsize);
    return dbt;
}

void trace_fetch(const datum &key)
{
    if (debug_level != 0)
        trace_log(trace_file, LOG_DEBUG, "...fetching: (%d) '%s'", key.dsize,
                  printable(key.dptr, key.dsize));
}

// The record under the lock; an empty one counts as none.
std::optional<RecordFields> fetch_locked(WriteOpening &opening, const datum &key)
{
    trace_fetch(key);
    DBT k = dbt_of(key);
    DBT record{};
    int ret = opening.db->get(opening.db, nullptr, &k, &record, 0);
    report_db_result(ret, "fetch", 1);
    if (ret != 0 || record.size == 0)
        return std::nullopt;
    return split_record(static_cast<const char *>(record.data), record.size);
}

datum fetch_single(DBM *db, const datum &key)
{
    trace_fetch(key);
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

ReadOpening open_db_for_reading(int file_flags, bool walk, bool hold)
{
    ReadOpening opening{};
    // While this process holds the lock, the caller can neither stop it nor
    // make Berkeley DB retry an open for want of descriptors.
    give_up_real_uid();
    ensure_descriptors();
    block_stop_signals();
    // Berkeley DB reads pages when it opens a database: lock the file first.
    opening.fd = open_and_lock(file_flags, LOCK_SH, 1078);
    if (opening.fd < 0) {
        int err = errno;
        // Whatever sits at db_file that is not a file would hang the probe.
        if (err != EINVAL) {
            DBM *probe = dbm_open(db_path, O_RDONLY, 0);
            if (probe == nullptr)
                fail_read_open(errno);
            dbm_close(probe);
        }
        exit_with_error(open_file_failure, db_file, strerror(err), err, 1075);
    }
    locked_fd = opening.fd;
    if (hold)
        hold_output();
    if (walk) {
        opening.walk = open_walk();
        return opening;
    }
    opening.db = dbm_open(db_path, O_RDONLY, 0);
    if (opening.db == nullptr)
        fail_read_open(errno);
    return opening;
}

void close_db_for_reading(ReadOpening &opening)
{
    if (opening.db != nullptr)
        dbm_close(opening.db);
    opening.db = nullptr;
    // Closing the database closes its cursor.
    if (opening.walk != nullptr)
        opening.walk->dbp->close(opening.walk->dbp, 0);
    opening.walk = nullptr;
    release_lock();
    release_output();
}

// ---- delete and initialise ----

void delete_user(const Request &request, const CallerIdentity &caller)
{
    const char *name = request.target_name;
    WriteOpening opening =
        open_db_for_writing("%s: unable to open POP authentication DB: %s (%i) [%i]", 949);
    datum key = make_key(name);
    bool found = fetch_locked(opening, key).has_value();
    // An empty record from other software shows as none, yet its key must
    // still go: try the delete before calling the user unknown.
    DBT k = dbt_of(key);
    int deleted = opening.db->del(opening.db, nullptr, &k, 0);
    if (deleted != 0) {
        abandon_write(opening);
        if (!found && deleted == DB_NOTFOUND)
            exit_with_error("User '%s' not found in authentication database", name);
        exit_with_error("Unable to delete user '%s' from authentication database", name);
    }
    finish_write(opening);
    audit_notice(caller.privileged, "tolmark: user \"%s\" deleted by \"%s\" from db \"%s\"", name,
                 caller.caller_name, db_path);
}

namespace
{

const char db_new_path[] = TOLMARK_DB_PATH ".new"; // built aside, then put in place
const char db_new_file[] = TOLMARK_DB_PATH ".new.db";

// Anyone but root who can write the database's folder can plant links there:
// such a folder gets the database made with the pop account's rights, so
// that no link can lead root's rights anywhere.
bool folder_open_to_others()
{
    char folder[sizeof db_file];
    memcpy(folder, db_file, sizeof db_file);
    char *slash = strrchr(folder, '/');
    if (slash == nullptr)
        strcpy(folder, ".");
    else
        slash[slash == folder ? 1 : 0] = '\0';
    struct stat st;
    if (stat(folder, &st) != 0)
        return false; // the creation reports it
    return st.st_uid != 0 || (st.st_mode & S_IWOTH) != 0 ||
           ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0);
}

void become_pop(const CallerIdentity &caller)
{
    gid_t gid = caller.pop_gid;
    if (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(caller.pop_uid, caller.pop_uid, caller.pop_uid) != 0)
        exit_with_error("internal error @ %i", 1030);
}

[[noreturn]] void fail_create(int err)
{
    exit_with_error("unable to create POP authentication DB %s: %s (%d) [%d]", db_path,
                    strerror(err), err, 1037);
}

// Builds the new database aside and returns its file, checked to be the one
// that this process made: a regular file with one link, no link followed.
int create_aside()
{
    if (unlink(db_new_file) != 0 && errno != ENOENT)
        fail_create(errno);
    DBM *db = dbm_open(db_new_path, O_RDWR | O_CREAT, 0600);
    if (db == nullptr)
        fail_create(errno);
    dbm_close(db);
    int fd = open(db_new_file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        fail_create(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid() ||
        fsync(fd) != 0) {
        unlink(db_new_file);
        exit_with_error("POP authentication DB %s was tampered with while it was created", db_path);
    }
    return fd;
}

} // namespace

void initialize_db(const Request &request, const CallerIdentity &caller)
{
    (void)setuid(getuid());
    if (folder_open_to_others())
        become_pop(caller);
    struct stat st;
    bool exists = lstat(db_file, &st) == 0;
    if (exists) {
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
    }
    raise_soft_limit(RLIMIT_FSIZE);
    // The old file stays locked until the new one has taken its place, so that
    // no writer is inside either meanwhile.
    block_stop_signals();
    int old_fd = exists ? open_and_lock(O_RDONLY | O_NOFOLLOW, LOCK_EX, 1088) : -1;
    // No file, a link or something else there: nothing to lock, it goes.
    if (exists && old_fd < 0 && errno != ENOENT && errno != ELOOP && errno != EINVAL) {
        int err = errno;
        exit_with_error(lock_file_failure, db_file, strerror(err), err, 1088);
    }
    locked_fd = old_fd;
    // From here to the notices nothing ends the run halfway.
    block_all_signals();
    int fd = create_aside();
    // Made by root, or by pop in a folder whose group may be another's.
    uid_t owner = geteuid() == 0 ? caller.pop_uid : static_cast<uid_t>(-1);
    if (fchown(fd, owner, caller.pop_gid) != 0) {
        int err = errno;
        unlink(db_new_file);
        exit_with_error("error setting ownership of POP authentication DB %s: %s (%d) [%d]",
                        db_path, strerror(err), err, 1045);
    }
    // The new file takes the old one's place at once: a writer sees the one
    // or the other, never a half-made file.
    if (rename(db_new_file, db_file) != 0) {
        int err = errno;
        unlink(db_new_file);
        fail_create(err);
    }
    close(fd);
    release_lock();
    if (exists)
        trace_log(trace_file, LOG_NOTICE, "tolmark: user \"%s\" removed existing db \"%s\"",
                  caller.caller_name, db_path);
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
void print_entry(const char *name, int len, bool apop, bool scram)
{
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
        RecordFields fields = fields_of(record);
        print_entry(key.dptr, static_cast<int>(strnlen(key.dptr, key_bytes.size)),
                    !fields.apop.empty(), !fields.scram.empty());
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
        close_db_for_reading(opening);
        return;
    }
    datum record = fetch_single(opening.db, make_key(name));
    if (!has_record(record))
        exit_with_error("no entry for \"%s\" in POP authentication DB", name);
    RecordFields fields = fields_of(record);
    bool apop = !fields.apop.empty();
    bool scram = !fields.scram.empty();
    // Released before the line goes out: the caller's output may be slow.
    close_db_for_reading(opening);
    print_entry(name, static_cast<int>(strlen(name)), apop, scram);
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
            // Told before anything is written, not after a change was made.
            if (fflush(stdout) != 0) {
                int err = errno;
                exit_with_error("unable to write standard output: %s (%d)", strerror(err), err);
            }
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

// Stores the record under the lock. An ordinary caller's change stands on the
// secret he saw (and proved): if it changed meanwhile, nothing is written.
void store_secret(const datum &key, const char *target, size_t secret_len, bool check_seen)
{
    WriteOpening opening =
        open_db_for_writing("%s: unable to open POP authentication DB:\n\t%s (%i) [%i]", 1383);
    // The record may have changed since it was read: carry over its SCRAM
    // field as it stands now, under the lock.
    std::optional<RecordFields> current = fetch_locked(opening, key);
    std::string_view apop = current ? current->apop : std::string_view();
    std::string_view seen(secrets.stored.apop, secrets.stored.apop_len);
    if (check_seen && apop != seen) {
        abandon_write(opening);
        exit_with_error("The password for %s was changed meanwhile; nothing was written", target);
    }
    std::string_view scram = current ? current->scram : std::string_view();
    size_t len = 0;
    if (!build_record(secrets.record, sizeof secrets.record, secrets.new_secret, secret_len, scram,
                      &len)) {
        abandon_write(opening);
        exit_with_error("POP authentication DB record for %s is too long to rewrite", target);
    }
    DBT k = dbt_of(key);
    DBT content{};
    content.data = secrets.record;
    content.size = static_cast<u_int32_t>(len);
    int result = opening.db->put(opening.db, nullptr, &k, &content, 0);
    explicit_bzero(secrets.record, sizeof secrets.record);
    report_db_result(result, "store", 0);
    if (result != 0) {
        abandon_write(opening);
        exit_with_error(corrupt, db_file);
    }
    finish_write(opening);
}

} // namespace

void change_secret(ReadOpening &opening, Request &request, const CallerIdentity &caller)
{
    atexit(wipe_secrets);
    char *target = target_user(request, caller);
    datum key = make_key(target);

    datum record = fetch_single(opening.db, key);
    bool exists = has_record(record);
    if (exists)
        load_record(fields_of(record), secrets.stored);
    // Nobody waits on this process while the caller types: the old secret is
    // checked against the copy.
    dbm_close(opening.db);
    opening.db = nullptr;
    if (flock(opening.fd, LOCK_UN) != 0) {
        int err = errno;
        exit_with_error("%s: unable to unlock POP authentication DB\n\t%s (%d) [%d]", db_file,
                        strerror(err), err, 1301);
    }
    locked_fd = -1; // the descriptor stays open, unlocked
    release_lock();
    release_output();
    if (exists && debug_level != 0)
        trace_log(trace_file, LOG_DEBUG, "user %s exists in db (%d/%d)", target,
                  static_cast<int>(secrets.stored.apop_len),
                  static_cast<int>(secrets.stored.scram_len));
    else if (debug_level != 0)
        trace_log(trace_file, LOG_DEBUG, "user %s doesn't exist -- adding", target);
    const char *only = onlysw ? "only " : "";
    fprintf(stderr, "%s %s%s %s for %s.\n", exists ? "Changing" : "Adding", only, "APOP",
            "password", target);

    size_t old_len = 0;
    if (!caller.privileged && secrets.stored.apop_len > 0)
        old_len = check_old_secret();

    size_t len =
        request.has_secret_argument ? take_secret_argument(request) : ask_new_secret(old_len);
    explicit_bzero(secrets.old_secret, sizeof secrets.old_secret);
    store_secret(key, target, len, !caller.privileged);
    explicit_bzero(&secrets.stored, sizeof secrets.stored);
    explicit_bzero(secrets.new_secret, sizeof secrets.new_secret);
    audit_notice(caller.privileged, "tolmark: %s %s %s%s %s for %s", caller.caller_name,
                 exists ? "changed" : "added", only, "APOP", "password", target);
    free(target);
}

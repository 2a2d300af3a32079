// The authentication database: where it lives, how its records are laid out,
// how it is opened and locked, and the four actions on it. Every way into the
// file goes through Berkeley DB's own interface, behind the openings below.
#include <algorithm>
#include <bsd/readpassphrase.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <optional>
#include <poll.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include "authdb.h"

#ifndef TOLMARK_DB_PATH
#error "TOLMARK_DB_PATH must name the database"
#endif
// A relative path would name a file in whatever folder the caller stands in.
static_assert(TOLMARK_DB_PATH[0] == '/', "TOLMARK_DB_PATH must be an absolute path");

const char db_path[] = TOLMARK_DB_PATH;
const char db_file[] = TOLMARK_DB_PATH ".db";

rlim_t raise_soft_limit(int resource)
{
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0)
        return RLIM_INFINITY; // nothing known to stand in the way
    if (limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(resource, &limit);
    }
    return limit.rlim_max;
}

char *own_copy(const char *name)
{
    char *copy = strdup(name);
    if (copy == nullptr)
        exit_with_error("%s", strerror(ENOMEM));
    return copy;
}

// Only an answer without an error means that nobody has the name or uid: a
// look-up that failed (for want of memory, say) is reported as such.
static const struct passwd *checked(const struct passwd *pw, const char *what)
{
    int err = errno;
    if (pw == nullptr && err != 0 && err != ENOENT && err != ESRCH && err != EBADF && err != EPERM)
        exit_with_error("unable to look up %s in the password database: %s (%d)", what,
                        strerror(err), err);
    return pw;
}

const struct passwd *find_account(const char *name)
{
    errno = 0;
    return checked(getpwnam(name), name);
}

const struct passwd *find_account_of(uid_t uid)
{
    errno = 0;
    return checked(getpwuid(uid), "your uid");
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

DBT make_key(const char *name)
{
    DBT key{};
    // Berkeley DB takes a non-const pointer but never writes through a key.
    key.data = const_cast<char *>(name);
    key.size = static_cast<u_int32_t>(strlen(name) + 1);
    return key;
}

size_t key_length(const DBT &key)
{
    if (key.data == nullptr)
        return 0;
    return strnlen(static_cast<const char *>(key.data),
                   key.size < field_size - 1 ? key.size : field_size - 1);
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

// The pause after an old secret is typed, before a wrong one is refused.
#ifndef TOLMARK_OLD_SECRET_PAUSE_MS
#define TOLMARK_OLD_SECRET_PAUSE_MS 2000
#endif
constexpr long old_secret_pause_ms = TOLMARK_OLD_SECRET_PAUSE_MS;
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

// Takes a lock through lock(wait), which tries at once or waits, waiting no
// later than the deadline. False, with errno set, when it cannot;
// EWOULDBLOCK when the time ran out.
template <class Lock> bool lock_before(Lock lock, long long deadline)
{
    if (lock(false) == 0)
        return true; // mostly, nobody else holds it
    AlarmScope alarm;
    for (int err = errno;;) {
        long long left = deadline - monotonic_ms();
        if (err != EWOULDBLOCK || left <= 0) {
            errno = err;
            return false;
        }
        // Repeated, in case it fires before the wait begins.
        AlarmScope::arm(left + 1, 100);
        int locked = lock(true);
        err = errno;
        AlarmScope::arm(0, 0);
        if (locked == 0)
            return true;
        if (err != EINTR)
            continue;
        // The alarm: one more try, whose answer counts.
        if (lock(false) == 0)
            return true;
        err = errno;
    }
}

// -init may have put a new file in place while this process waited; held
// receives what the descriptor holds.
bool still_named(const char *path, int fd, struct stat &held)
{
    struct stat named;
    return fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

// Opens db_file without waiting on whatever sits there (a FIFO would hang the
// open); only a regular file is used. -1 with errno set on failure.
int open_regular(const char *path, int flags)
{
    // With the mode, the C library's own open is called, not a checking
    // variant that some tools do not follow.
    int fd = open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd; // O_NONBLOCK means nothing for a regular file
}

// Opens and locks the database's file by the name given, starting over when
// the file was replaced while this process waited; held receives the file's
// state under the lock. -1 with errno set when it cannot be opened; a lock
// that cannot be had within the bound ends the run.
int open_and_lock(const char *path, int flags, int how, int lock_site, struct stat &held)
{
    long long deadline = monotonic_ms() + lock_wait_ms;
    for (;;) {
        int fd = open_regular(path, flags);
        if (fd < 0)
            return -1;
        int err = EWOULDBLOCK;
        auto lock = [&](bool wait) { return flock(fd, how | (wait ? 0 : LOCK_NB)); };
        if (lock_before(lock, deadline)) {
            if (still_named(path, fd, held))
                return fd;
        } else {
            err = errno;
        }
        close(fd);
        if (err != EWOULDBLOCK || monotonic_ms() >= deadline)
            exit_with_error(lock_file_failure, db_file, strerror(err), err, lock_site);
    }
}

void give_up_real_uid()
{
    // SIGKILL cannot be blocked: give up the caller's real uid, so that he can
    // no longer signal the process. His rights were settled before.
    uid_t uid = getuid(), euid = geteuid();
    if (uid == euid)
        return;
    fflush(nullptr); // what is buffered for him goes while he can still end the run
    if (setresuid(euid, euid, euid) != 0)
        exit_with_error("internal error @ %i", 1086);
    if (uid != 0) // the superuser can end any process
        bound_caller_output();
}

// Berkeley DB retries an open that lacks a descriptor for seconds: make sure
// it will not, before the lock is taken. The limit was raised at start-up.
void ensure_descriptors()
{
    // The highest descriptors under the limit are mostly all free: one look.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= 2 * descriptors_needed &&
        limit.rlim_cur <= INT_MAX) {
        pollfd top[descriptors_needed];
        for (int i = 0; i < descriptors_needed; ++i)
            top[i] = pollfd{static_cast<int>(limit.rlim_cur) - 1 - i, 0, 0};
        if (poll(top, descriptors_needed, 0) == descriptors_needed &&
            std::all_of(top, top + descriptors_needed,
                        [](const pollfd &p) { return p.revents == POLLNVAL; }))
            return;
    }
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
void reserve_room(int fd, const struct stat &st)
{
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

// How an opening reports a database that it cannot open. The read opening
// tells a file that cannot be opened as asked (1075) from no database at all
// (1063); a writer's opening names its action.
struct OpenFailure {
    const char *format; // with db_path; null for the read opening's reports
    int site;
};
constexpr OpenFailure read_failure{nullptr, 0};

// Whether db_file opens as a database at all, read-only and unlocked;
// Berkeley DB's answer.
int probe_database()
{
    DB *db = nullptr;
    int ret = db_create(&db, nullptr, 0);
    if (ret != 0)
        return ret;
    db->set_errcall(db, on_db_message);
    ret = db->open(db, nullptr, db_file, nullptr, DB_HASH, DB_RDONLY, 0);
    db->close(db, 0);
    return ret;
}

// err is the file's open error, or Berkeley DB's when the file was opened.
[[noreturn]] void fail_to_open(const OpenFailure &failure, int err, bool file_opened)
{
    if (failure.format != nullptr)
        exit_with_error(failure.format, db_path, db_strerror(err), err, failure.site);
    // Whatever sits at db_file that is not a file would hang the probe.
    if (!file_opened && err != EINVAL) {
        int probe = probe_database();
        file_opened = probe != 0;
        err = file_opened ? probe : err;
    }
    if (!file_opened)
        exit_with_error(open_file_failure, db_file, strerror(err), err, 1075);
    exit_with_error("unable to open POP authentication DB %s:\n\t%s (%i) [%i]", db_path,
                    db_strerror(err), err, 1063);
}

// The database open through Berkeley DB, its file locked: shared for a
// reader, exclusive for a writer, whose changes go through the journal.
struct Opening {
    DB *db;
    int fd;
    struct stat st; // the file under the lock, before anything was written
    int journal;    // a writer's, or -1
};

[[noreturn]] void fail_to_roll_back(int err)
{
    exit_with_error("unable to roll back the interrupted change of POP authentication DB %s: %s "
                    "(%d)",
                    db_file, strerror(err), err);
}

[[noreturn]] void refuse_unjournaled(int err)
{
    if (err == ENOENT)
        exit_with_error("POP authentication DB %s not changed: its journal %s is missing; a run "
                        "by root makes it",
                        db_file, journal_file);
    if (err == EPERM)
        exit_with_error("POP authentication DB %s not changed: its journal %s is not a private "
                        "file of pop's",
                        db_file, journal_file);
    refuse_write("its journal cannot be opened", err);
}

// Whatever the journal holds from a run that was cut short is settled before
// anything is read: a reader that finds it so starts over as a writer.
void settle_before_reading(Opening &opening, int &how)
{
    JournalState state = settle_journal(opening.fd, how == LOCK_EX, db_file, journal_file);
    if (state == JournalState::unrepaired)
        fail_to_roll_back(errno);
    if (state == JournalState::unfit)
        trace_log(nullptr, LOG_NOTICE,
                  "tolmark: the journal \"%s\" of db \"%s\" is not a private file of pop's; it "
                  "was not read",
                  journal_file, db_path);
    if (state == JournalState::needs_exclusive) {
        close(opening.fd);
        locked_fd = opening.fd = -1;
        how = LOCK_EX;
    } else if (fstat(opening.fd, &opening.st) != 0) { // a roll-back may change its size
        fail_to_open(read_failure, errno, false);
    }
}

Opening open_db(int file_flags, bool writer, const OpenFailure &failure)
{
    // While this process holds the lock the caller can neither signal it
    // (SIGKILL cannot be blocked) nor make Berkeley DB retry an open for want
    // of descriptors.
    give_up_real_uid();
    ensure_descriptors();
    // A ^Z between the lock and the block would stop the holder.
    block_stop_signals();
    Opening opening{};
    opening.fd = opening.journal = -1;
    for (int how = writer ? LOCK_EX : LOCK_SH; opening.fd < 0;) {
        opening.fd =
            open_and_lock(db_file, file_flags, how, how == LOCK_EX ? 1088 : 1078, opening.st);
        if (opening.fd < 0)
            fail_to_open(failure, errno, false);
        // From the lock to its release nothing stops a writer, and nothing is
        // written where anyone could make the holder wait.
        if (how == LOCK_EX)
            block_all_signals();
        locked_fd = opening.fd;
        hold_output();
        settle_before_reading(opening, how);
    }
    if (writer) {
        opening.journal = open_journal(journal_file, O_RDWR);
        if (opening.journal < 0)
            refuse_unjournaled(errno);
        hold_writes(opening.journal);
    }
    // Berkeley DB reads pages when it opens a database: the lock comes first.
    int ret = db_create(&opening.db, nullptr, 0);
    if (ret == 0) {
        opening.db->set_errcall(opening.db, on_db_message);
        ret = opening.db->open(opening.db, nullptr, db_file, nullptr, DB_HASH,
                               writer ? 0 : DB_RDONLY, 0);
    }
    if (ret != 0)
        fail_to_open(failure, ret, true);
    int fd = -1;
    u_int32_t page_size = 0;
    if (writer &&
        (opening.db->fd(opening.db, &fd) != 0 ||
         opening.db->get_pagesize(opening.db, &page_size) != 0 || !hold_writes_on(fd, page_size)))
        refuse_write("its pages cannot be journaled", EINVAL);
    return opening;
}

// A reader's end: the database closed, the lock released, the output held
// meanwhile written.
void close_for_reading(Opening &opening)
{
    opening.db->close(opening.db, 0);
    release_lock();
    release_output();
}

// Closes a writer's database: nothing of the change reaches the file.
void abandon_write(Opening &opening)
{
    opening.db->close(opening.db, DB_NOSYNC);
    int err = 0;
    release_writes(err);
    close(opening.journal);
}

// Writes the change back, through the journal. A change that could not be
// written whole is undone; one that could not be undone either is left in
// the journal for the next run to roll back. Fatal, before any notice.
void finish_write(Opening &opening)
{
    // The close flushes the cache, and the journal with it.
    int closed = opening.db->close(opening.db, 0);
    int err = 0;
    WriteOutcome outcome = release_writes(err);
    close(opening.journal);
    if (outcome == WriteOutcome::untouched)
        refuse_write("the change could not be journaled", err);
    if (outcome == WriteOutcome::rolled_back)
        refuse_write("a page could not be written, and the change was undone", err);
    if (closed != 0 || outcome == WriteOutcome::pending)
        exit_with_error(corrupt, db_file);
    release_lock(); // the output held back follows the audit notice's way
}

// The record under a key, as views into Berkeley DB's memory, valid until the
// next call on the handle. An empty record counts as none: Berkeley DB hands
// one back sometimes as a null pointer and sometimes as a stale one. A page
// that cannot be read is no missing record: nobody is added, or let in
// without his old secret, on the strength of it.
std::optional<RecordFields> fetch(Opening &opening, const DBT &key)
{
    if (debug_level != 0)
        trace_log(trace_file, LOG_DEBUG, "...fetching: (%d) '%s'", static_cast<int>(key.size),
                  printable(key.data, static_cast<int>(key.size)));
    DBT k = key;
    DBT record{};
    int ret = opening.db->get(opening.db, nullptr, &k, &record, 0);
    report_db_status(ret, "fetch", 1);
    if (ret != 0 && ret != DB_NOTFOUND)
        exit_with_error(corrupt, db_file);
    if (ret != 0 || record.data == nullptr || record.size == 0)
        return std::nullopt;
    return split_record(static_cast<const char *>(record.data), record.size);
}

const char *base_name(const char *path)
{
    return strrchr(path, '/') + 1;
}

// The folder of a file of the database, without a trailing slash (which
// would lead through a link), into out.
void folder_of(const char *file, char *out, size_t size)
{
    int len = static_cast<int>(base_name(file) - 1 - file);
    snprintf(out, size, "%.*s", len > 0 ? len : 1, file);
}

// -init builds the new file under the name built, with Berkeley DB's own
// temporary name on the way, inside a private folder that it makes in the
// database's folder, where nobody else can plant a name. The folder's name is
// the prefix and six characters that mkdtemp chooses.
const char built_path[] = TOLMARK_DB_PATH ".new.db";
const char *const built = base_name(built_path);
const char temporary_prefix[] = "__db.";
const int aside_prefix_length = static_cast<int>(strlen(built) - strlen("db"));
char aside_folder[sizeof built_path + 8]; // once made, relative to the database's folder
char aside_file[2 * sizeof built_path + 8];
int aside_lock = -1; // the folder's lock, held while the file is built there

// Removes a private folder with what it may hold, unless another -init is
// building in it. Whatever cannot go stays, harmless.
void remove_aside(const char *folder)
{
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return;
    }
    char temporary[sizeof temporary_prefix + sizeof built_path];
    snprintf(temporary, sizeof temporary, "%s%s", temporary_prefix, built);
    unlinkat(fd, built, 0);
    unlinkat(fd, temporary, 0);
    rmdir(folder);
    close(fd);
}

void discard_aside()
{
    close(aside_lock);
    aside_lock = -1;
    if (aside_folder[0] != '\0')
        remove_aside(aside_folder);
    aside_folder[0] = '\0';
}

[[noreturn]] void fail_create(int err)
{
    exit_with_error("unable to create POP authentication DB %s: %s (%d) [%d]", db_path,
                    db_strerror(err), err, 1037);
}

[[noreturn]] void fail_tampered()
{
    exit_with_error("POP authentication DB %s was tampered with while it was created", db_path);
}

// A killed -init leaves its private folder behind; older versions left the
// file they built, and Berkeley DB's temporary one, in the folder itself,
// which is removed as a private folder is emptied.
void remove_leftovers()
{
    remove_aside(".");
    DIR *dir = opendir(".");
    if (dir == nullptr)
        return;
    while (const dirent *entry = readdir(dir))
        if (strlen(entry->d_name) == static_cast<size_t>(aside_prefix_length) + 6 &&
            strncmp(entry->d_name, built, static_cast<size_t>(aside_prefix_length)) == 0)
            remove_aside(entry->d_name);
    closedir(dir);
}

// Builds the new database in a private folder, with the settings that the
// server's ndbm interface gives a new database, and returns its file, checked
// to be the one that this process made: a regular file with one link, no
// link followed, and no ACL entry inherited from the folder.
int create_aside()
{
    remove_leftovers();
    snprintf(aside_folder, sizeof aside_folder, "%.*sXXXXXX", aside_prefix_length, built);
    if (mkdtemp(aside_folder) == nullptr) {
        int err = errno;
        aside_folder[0] = '\0';
        fail_create(err);
    }
    atexit(discard_aside); // whatever ends the run, a success included
    // A default ACL of the folder may have taken the owner's rights.
    aside_lock = open(aside_folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (aside_lock < 0 || flock(aside_lock, LOCK_EX) != 0 || fchmod(aside_lock, 0700) != 0)
        fail_create(errno);
    snprintf(aside_file, sizeof aside_file, "%s/%s", aside_folder, built);
    DB *db = nullptr;
    int ret = db_create(&db, nullptr, 0);
    if (ret == 0) {
        db->set_errcall(db, on_db_message);
        if ((ret = db->set_pagesize(db, 4096)) == 0 && (ret = db->set_h_ffactor(db, 40)) == 0 &&
            (ret = db->set_h_nelem(db, 1)) == 0)
            ret = db->open(db, nullptr, aside_file, nullptr, DB_HASH, DB_CREATE | DB_EXCL, 0600);
        int closed = db->close(db, 0);
        ret = ret != 0 ? ret : closed;
    }
    if (ret != 0)
        fail_create(ret);
    int fd = open(aside_file, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        fail_create(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid())
        fail_tampered();
    // A default ACL also overrode the mode asked for.
    if ((fremovexattr(fd, "system.posix_acl_access") != 0 && errno != ENODATA &&
         errno != ENOTSUP) ||
        fchmod(fd, 0600) != 0)
        fail_create(errno);
    if (fsync(fd) != 0)
        fail_create(errno);
    return fd;
}

} // namespace

// ---- delete and initialise ----

void delete_user(const Request &request, const CallerIdentity &caller)
{
    const char *name = request.target_name;
    Opening opening =
        open_db(O_RDWR, true, {"%s: unable to open POP authentication DB: %s (%i) [%i]", 949});
    DBT key = make_key(name);
    bool found = fetch(opening, key).has_value();
    // An empty record from other software shows as none, yet its key must
    // still go: try the delete before calling the user unknown.
    reserve_room(opening.fd, opening.st);
    int deleted = opening.db->del(opening.db, nullptr, &key, 0);
    if (deleted != 0) {
        abandon_write(opening);
        if (!found && deleted == DB_NOTFOUND)
            exit_with_error("User '%s' not found in authentication database", name);
        exit_with_error("Unable to delete user '%s' from authentication database", name);
    }
    finish_write(opening);
    audit_notice(caller.privileged, "tolmark: user \"%s\" deleted by \"%s\" from db \"%s\"",
                 printable_text(name), caller.caller_name, db_path);
}

namespace
{

// -init works inside the database's folder as it was first looked at: the
// folder is opened once, no link followed, and every name after is relative
// to it, Berkeley DB's included.
int enter_folder()
{
    char folder[sizeof db_file];
    folder_of(db_file, folder, sizeof folder);
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || fchdir(fd) != 0)
        fail_create(errno);
    return fd;
}

// Whether the folder's path still leads to the folder opened.
bool still_the_folder(int folder_fd)
{
    char folder[sizeof db_file];
    folder_of(db_file, folder, sizeof folder);
    struct stat named, held;
    return stat(folder, &named) == 0 && fstat(folder_fd, &held) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

// Anyone but root who can write the database's folder can plant links there:
// such a folder gets the database made with the pop account's rights, so
// that no link can lead root's rights anywhere. Any group counts, root's
// too; so does an ACL entry, whose mask shows in the mode's group bits.
bool folder_open_to_others(int folder_fd)
{
    struct stat st;
    if (fstat(folder_fd, &st) != 0)
        return true;
    return st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

void become_pop(const CallerIdentity &caller)
{
    gid_t gid = caller.pop_gid;
    if (setgroups(1, &gid) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(caller.pop_uid, caller.pop_uid, caller.pop_uid) != 0)
        exit_with_error("internal error @ %i", 1030);
}

// -init leaves a fit journal beside the database: the one there, or a new
// one. A name that is no fit journal may hold what a crash left, unread: the
// -init that replaces the database replaces it too, with a notice; -safe
// keeps both, and says what to do.
void ensure_journal(const char *name, const CallerIdentity &caller, bool replace)
{
    int fd = open_journal(name, O_RDONLY);
    if (fd < 0 && errno != ENOENT && !replace)
        exit_with_error("POP authentication DB %s not initialized (exists), and its journal %s "
                        "is not a private file of pop's: give it to pop, mode 0600, and run "
                        "ztolmark -list ALL",
                        db_file, journal_file);
    if (fd < 0 && errno != ENOENT) {
        if (unlink(name) != 0 && errno != ENOENT)
            fail_create(errno);
        trace_log(nullptr, LOG_NOTICE,
                  "tolmark: user \"%s\" replaced the journal \"%s\", which was not a private "
                  "file of pop's",
                  caller.caller_name, journal_file);
    }
    int err = fd >= 0 ? 0 : make_journal(name, caller.pop_uid, caller.pop_gid);
    if (err != 0 && err != EEXIST)
        fail_create(err);
    if (fd < 0 && (fd = open_journal(name, O_RDONLY)) < 0)
        fail_tampered();
    close(fd);
}

// Nothing is removed on an answer to a question that was never shown.
bool confirmed()
{
    fputs("Really initialize POP authentication DB? ", stdout);
    flush_standard_output();
    char answer[30];
    return fgets(answer, sizeof answer, stdin) != nullptr && answer[0] == 'y';
}

} // namespace

void initialize_db(const Request &request, const CallerIdentity &caller)
{
    // All of root's ids: pop's rights stay behind, unless the folder asks
    // for them below.
    uid_t root = getuid();
    if (setresuid(root, root, root) != 0)
        exit_with_error("internal error @ %i", 1029);
    int folder_fd = enter_folder();
    if (folder_open_to_others(folder_fd))
        become_pop(caller);
    const char *file = base_name(db_file);
    const char *journal = base_name(journal_file);
    struct stat st;
    bool exists = lstat(file, &st) == 0;
    if (exists && !request.safe && !confirmed()) {
        close_trace_file();
        exit(1);
    }
    // The answer was about this folder, not one put in its place since.
    if (!still_the_folder(folder_fd))
        fail_tampered();
    raise_soft_limit(RLIMIT_FSIZE);
    // The old file stays locked until the new one has taken its place, so that
    // no writer is inside either meanwhile.
    block_stop_signals();
    int old_fd = exists ? open_and_lock(file, O_RDONLY | O_NOFOLLOW, LOCK_EX, 1088, st) : -1;
    // No file, a link or something else there: nothing to lock, it goes.
    if (exists && old_fd < 0 && errno != ENOENT && errno != ELOOP && errno != EINVAL) {
        int err = errno;
        exit_with_error(lock_file_failure, db_file, strerror(err), err, 1088);
    }
    locked_fd = old_fd;
    // From here to the notices nothing ends the run halfway.
    block_all_signals();
    hold_output();
    // What the journal holds of the old file is settled first: a crash from
    // here on leaves the old database whole, or the new one.
    if (old_fd >= 0 && settle_journal(old_fd, true, file, journal) == JournalState::unrepaired)
        fail_to_roll_back(errno);
    ensure_journal(journal, caller, !(exists && request.safe));
    if (exists && request.safe) {
        release_lock();
        release_output();
        fprintf(stderr, "POP authentication DB not initialized (exists): %s\n", db_file);
        return;
    }
    int fd = create_aside();
    // Made by root, or by pop in a folder whose group may be another's.
    uid_t owner = geteuid() == 0 ? caller.pop_uid : static_cast<uid_t>(-1);
    if (fchown(fd, owner, caller.pop_gid) != 0) {
        int err = errno;
        exit_with_error("error setting ownership of POP authentication DB %s: %s (%d) [%d]",
                        db_path, strerror(err), err, 1045);
    }
    // The new file takes the old one's place at once: a writer sees the one
    // or the other, never a half-made file; and it waits until the journal
    // holds nothing of the old one.
    if (flock(fd, LOCK_EX) != 0 || rename(aside_file, file) != 0)
        fail_create(errno);
    int emptied = open_journal(journal, O_RDWR);
    int unemptied =
        emptied < 0 || ftruncate(emptied, 0) != 0 || fdatasync(emptied) != 0 ? errno : 0;
    close(emptied);
    // The old database is gone: whatever follows, the audit trail says so.
    // The path must lead to the very file that was made, for good: a power
    // loss must not bring the old one back.
    struct stat made;
    bool in_place = fstat(fd, &made) == 0 && lstat(db_file, &st) == 0 && made.st_dev == st.st_dev &&
                    made.st_ino == st.st_ino;
    int unsynced = fsync(folder_fd) != 0 ? errno : unemptied;
    close(folder_fd);
    close(fd);
    release_lock();
    if (exists)
        audit_notice(true, "tolmark: user \"%s\" removed existing db \"%s\"", caller.caller_name,
                     db_path);
    if (!in_place)
        fail_tampered();
    audit_notice(true, "tolmark: user \"%s\" initialized db \"%s\"", caller.caller_name, db_path);
    if (unsynced != 0)
        fail_create(unsynced);
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

// Whether the listing goes to a terminal, where names are shown escaped.
bool names_escaped = false;

// Writes the name, len bytes and not necessarily NUL-ended, straight from the
// database and whole; returns how many characters it took. The pop account
// can store any key: on a terminal its control bytes (below 0x20, and 0x7f)
// are shown as traces show them, so that no name moves the cursor, retitles
// the window or forges a line. Scripts get every name as stored.
size_t emit_name(const char *name, size_t len)
{
    if (!names_escaped) {
        emit_bytes(stdout, name, len);
        return len;
    }
    size_t shown = 0;
    for (size_t from = 0, i = 0; from < len; from = ++i) {
        while (i < len && static_cast<unsigned char>(name[i]) >= 0x20 && name[i] != 0x7f)
            ++i;
        emit_bytes(stdout, name + from, i - from);
        shown += i - from;
        if (i < len) {
            const char *escape = printable(name + i, 1);
            emit_bytes(stdout, escape, strlen(escape));
            shown += strlen(escape);
        }
    }
    return shown;
}

void print_entry(const char *name, size_t len, bool apop, bool scram)
{
    static const char blanks[] = "                ";
    size_t shown = emit_name(name, len);
    if (shown < sizeof blanks - 1)
        emit_bytes(stdout, blanks, sizeof blanks - 1 - shown);
    const char *tail =
        apop ? (scram ? ": APOP SCRAM\n" : ": APOP \n") : (scram ? ":      SCRAM\n" : ":      \n");
    emit_bytes(stdout, tail, strlen(tail));
    if (debug_level != 0)
        trace_log(trace_file, LOG_DEBUG, "Listing user \"%s\": APOP %s; SCRAM %s",
                  printable(name, static_cast<int>(len < field_size ? len : field_size)),
                  yes_no(apop), yes_no(scram));
}

// Listing every entry reads the file once, through one cursor that hands
// back each key with its record. Traces and reports read as the ndbm loop of
// first key, next key and fetch always wrote them.
void list_all(Opening &opening)
{
    if (debug_level != 0)
        trace_log(trace_file, LOG_DEBUG, "Listing all users... ");
    DBC *cursor = nullptr;
    int err = opening.db->cursor(opening.db, nullptr, &cursor, 0);
    if (err != 0)
        fail_to_open(read_failure, err, true);
    DBT key{};
    DBT record{};
    while ((err = cursor->get(cursor, &key, &record, DB_NEXT)) == 0) {
        const char *name = static_cast<const char *>(key.data);
        if (debug_level != 0)
            trace_log(trace_file, LOG_DEBUG, "...fetching: (%d)'%s'", static_cast<int>(key.size),
                      printable(name, static_cast<int>(key.size)));
        // The record came with its key: a fetch of it succeeds.
        report_db_state(0, errno, "fetch", false);
        int len = static_cast<int>(key_length(key));
        if (record.data == nullptr || record.size == 0) {
            emit_name(name, static_cast<size_t>(len < 16 ? len : 16));
            emit(stdout, ":%*s *** no information?!?\n", 16 - len, " ");
            if (debug_level != 0)
                trace_log(trace_file, LOG_DEBUG, "*** No information for user \"%s\"",
                          printable(name, len));
            continue;
        }
        // Only traces and the line above cut a name; an entry shows it whole.
        RecordFields fields = split_record(static_cast<const char *>(record.data), record.size);
        print_entry(name, strnlen(name, key.size), !fields.apop.empty(), !fields.scram.empty());
    }
    // At the end of the walk the database leaves ENOENT, as ndbm did. A walk
    // cut short is no whole listing.
    report_db_status(err, "first/next key", 1);
    if (err != DB_NOTFOUND)
        exit_with_error(corrupt, db_file);
    cursor->close(cursor);
}

} // namespace

void list_entries(const Request &request, const CallerIdentity &caller)
{
    const char *name = listed_name(request, caller);
    names_escaped = isatty(STDOUT_FILENO) != 0;
    Opening opening = open_db(O_RDONLY, false, read_failure);
    // To anyone but the superuser and pop, ALL is a name like any other: a
    // user of that name lists his own entry.
    if (caller.privileged && strcmp(name, "ALL") == 0) {
        list_all(opening);
    } else {
        std::optional<RecordFields> fields = fetch(opening, make_key(name));
        if (!fields)
            exit_with_error("no entry for \"%s\" in POP authentication DB", name);
        print_entry(name, strlen(name), !fields->apop.empty(), !fields->scram.empty());
    }
    close_for_reading(opening);
}

// ---- setting a secret ----

namespace
{

// Every buffer that holds a secret, in one place, wiped at every exit.
struct SecretBuffers {
    bool has_record;
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

// Without a controlling terminal readpassphrase reads standard input and
// leaves its echo on. When that is a terminal, echo goes off here, and comes
// back on at every end of the read, a signal's included.
const int prompt_signals[] = {SIGALRM, SIGHUP,  SIGINT,  SIGPIPE, SIGQUIT,
                              SIGTERM, SIGTSTP, SIGTTIN, SIGTTOU};
termios echo_saved;

void echo_off()
{
    termios quiet = echo_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
}

void restore_echo_and_raise(int sig)
{
    tcsetattr(STDIN_FILENO, TCSANOW, &echo_saved);
    struct sigaction action {
    };
    action.sa_handler = SIG_DFL;
    sigaction(sig, &action, nullptr);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, sig);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    raise(sig);
    // Continued after a stop: the prompt is asked again, without echo.
    action.sa_handler = restore_echo_and_raise;
    sigaction(sig, &action, nullptr);
    echo_off();
}

bool has_controlling_terminal()
{
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

// An answer that cannot be read (no terminal, end of input) is empty.
size_t read_secret(const char *prompt, char *buffer, size_t size)
{
    bool own_echo = !has_controlling_terminal() && tcgetattr(STDIN_FILENO, &echo_saved) == 0;
    struct sigaction saved[std::size(prompt_signals)];
    if (own_echo) {
        struct sigaction action {
        };
        action.sa_handler = restore_echo_and_raise;
        for (size_t i = 0; i < std::size(prompt_signals); ++i)
            sigaction(prompt_signals[i], &action, &saved[i]);
        echo_off();
    }
    if (readpassphrase(prompt, buffer, size, RPP_ECHO_OFF) == nullptr)
        buffer[0] = '\0';
    if (own_echo) {
        tcsetattr(STDIN_FILENO, TCSANOW, &echo_saved);
        for (size_t i = 0; i < std::size(prompt_signals); ++i)
            sigaction(prompt_signals[i], &saved[i], nullptr);
        fputc('\n', stderr); // the line end that was not echoed
    }
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
    const struct passwd *pw = find_account(request.target_name);
    if (pw == nullptr)
        exit_with_error("Sorry, don't know who user %s is.", request.target_name);
    return own_copy(pw->pw_name);
}

// The record found, held in the program's buffers, announced.
void take_record(bool found, const char *target)
{
    if (found && debug_level != 0)
        trace_log(trace_file, LOG_DEBUG, "user %s exists in db (%d/%d)", printable_text(target),
                  static_cast<int>(secrets.stored.apop_len),
                  static_cast<int>(secrets.stored.scram_len));
    else if (debug_level != 0)
        trace_log(trace_file, LOG_DEBUG, "user %s doesn't exist -- adding", printable_text(target));
    emit(stderr, "%s %s%s %s for %s.\n", found ? "Changing" : "Adding", onlysw ? "only " : "",
         "APOP", "password", target);
}

// Whether two secrets of len bytes agree, directly or once b is decoded,
// in a time that does not tell where they differ.
bool same_secret(const char *a, const char *b, size_t len)
{
    unsigned char direct = 0, decoded = 0;
    for (size_t i = 0; i < len; ++i) {
        direct |= static_cast<unsigned char>(a[i] ^ b[i]);
        decoded |= static_cast<unsigned char>(a[i] ^ ~b[i]);
    }
    return direct == 0 || decoded == 0;
}

// The texts of a short-lived child's failures, with the name they are about.
struct Helper {
    const char *failure; // with an error text and number
    const char *killed;  // with a signal number
    const char *subject;
};

[[noreturn]] void fail_helper(const Helper &helper, int err)
{
    exit_with_error(helper.failure, helper.subject, strerror(err), err);
}

pid_t fork_helper(const Helper &helper)
{
    fflush(nullptr);          // nothing buffered is written twice
    signal(SIGCHLD, SIG_DFL); // ignored, it would hide how the child ended
    pid_t pid = fork();
    if (pid < 0)
        fail_helper(helper, errno);
    return pid;
}

// How the child ended.
int reap_helper(pid_t pid, const Helper &helper)
{
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR)
        ;
    if (reaped != pid)
        fail_helper(helper, errno);
    return status;
}

// A child that was killed, or that ended without handing its answer back (it
// told why), ends the run.
void check_helper(int status, bool answered, const Helper &helper)
{
    if (WIFSIGNALED(status))
        exit_with_error(helper.killed, helper.subject, WTERMSIG(status));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !answered) {
        close_trace_file();
        exit(1);
    }
}

const char wrong_old_secret[] = "tolmark: \"%s\" gave a wrong old APOP password for \"%s\"";

// What the checker of an old secret hands back, once the pause is over.
struct Verdict {
    enum Outcome { right, wrong, no_journal, no_lock } outcome;
    int err;          // why the journal could not be opened or locked
    bool notice_lost; // the system log did not take the notice in time
};

// The checks of an entry's old secret wait for one another on a byte of the
// journal that the entry's key chooses, far above anything the journal
// holds: a lock of the program's own, which the mail server never meets.
struct flock entry_lock(const DBT &key)
{
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (size_t i = 0; i < key.size; ++i)
        hash = (hash ^ static_cast<const unsigned char *>(key.data)[i]) * 1099511628211ull;
    struct flock range {
    };
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = (off_t{1} << 62) + static_cast<off_t>(hash >> 3);
    range.l_len = 1;
    return range;
}

void pause_until(long long deadline_ms)
{
    timespec until{static_cast<time_t>(deadline_ms / 1000),
                   static_cast<long>(deadline_ms % 1000 * 1000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR)
        ;
}

// The checker's side. It waits for the entry's lock as the caller's own
// process, so that the runs that wait count as his and at most one process
// of pop's per entry exists. With the lock it runs as pop, out of the
// caller's reach, and does the same for every answer until the pause is over:
// killing the run frees nothing early, and nothing the caller can see tells
// a right answer from a wrong one (the log's connection is made, and the time
// zone read, before the answer is known). Its lock goes with it.
[[noreturn]] void check_for_parent(const DBT &key, size_t len, const char *caller_name,
                                   const char *target, int verdict_fd)
{
    Verdict verdict{Verdict::no_journal, 0, false};
    struct flock range = entry_lock(key);
    int fd = open_regular(journal_file, O_RDWR);
    auto lock = [&](bool wait) {
        int done = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range);
        if (done != 0 && errno == EACCES)
            errno = EWOULDBLOCK;
        return done;
    };
    if (fd < 0) {
        verdict.err = errno;
    } else if (!lock_before(lock, monotonic_ms() + lock_wait_ms)) {
        verdict = {Verdict::no_lock, errno, false};
    } else {
        block_all_signals(); // the terminal's too
        give_up_real_uid();
        openlog(mode, LOG_PID | LOG_NDELAY, LOG_LOCAL0);
        tzset();
        long long deadline = monotonic_ms() + old_secret_pause_ms;
        const AuthRecord &stored = secrets.stored;
        bool right =
            len != 0 && len == stored.apop_len && same_secret(secrets.old_secret, stored.apop, len);
        if (!right) {
            trace_log(nullptr, LOG_NOTICE, wrong_old_secret, caller_name, target);
            verdict.notice_lost = log_lost();
        }
        verdict.outcome = right ? Verdict::right : Verdict::wrong;
        pause_until(deadline);
    }
    ssize_t ignored = write(verdict_fd, &verdict, sizeof verdict);
    (void)ignored; // a run that is gone wants no answer
    wipe_secrets();
    _exit(0);
}

// The caller proves the stored secret; an unencoded one is accepted too. A
// short-lived checker compares it, logs a wrong one at once and pauses,
// whatever the answer, before it hands back the verdict: at most one check
// per entry is under way at any time, so that secrets cannot be guessed at
// speed, and a guesser who ends his run early learns nothing.
size_t check_old_secret(const CallerIdentity &caller, const char *target, const DBT &key)
{
    size_t len = read_secret("Old password:", secrets.old_secret, sizeof secrets.old_secret);
    const Helper checker{"unable to check the old password of %s: %s (%d)",
                         "unable to check the old password of %s: its checker ended by signal %d",
                         target};
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        fail_helper(checker, errno);
    pid_t pid = fork_helper(checker);
    if (pid == 0)
        check_for_parent(key, len, caller.caller_name, target, ends[1]);
    close(ends[1]);
    Verdict verdict{};
    ssize_t got;
    while ((got = read(ends[0], &verdict, sizeof verdict)) < 0 && errno == EINTR)
        ;
    close(ends[0]);
    check_helper(reap_helper(pid, checker), got == sizeof verdict, checker);
    int err = verdict.err;
    if (verdict.outcome == Verdict::no_journal)
        exit_with_error("%s: unable to open POP authentication DB journal:\n\t%s (%d)",
                        journal_file, strerror(err), err);
    if (verdict.outcome == Verdict::no_lock)
        exit_with_error("%s: unable to lock POP authentication DB journal:\n\t%s (%d)",
                        journal_file, strerror(err), err);
    if (verdict.notice_lost)
        note_log_lost();
    if (verdict.outcome != Verdict::right) {
        if (trace_file != nullptr)
            trace_log(trace_file, LOG_NOTICE, wrong_old_secret, caller.caller_name, target);
        exit_with_error("Sorry, password entered incorrectly\n");
    }
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
            flush_standard_output();
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

// Stores the new secret with the SCRAM field as it stands under the lock.
void store_secret(Opening &opening, const DBT &key, const std::optional<RecordFields> &current,
                  const char *target, size_t secret_len)
{
    std::string_view scram = current ? current->scram : std::string_view();
    size_t len = 0;
    if (!build_record(secrets.record, sizeof secrets.record, secrets.new_secret, secret_len, scram,
                      &len)) {
        abandon_write(opening);
        exit_with_error("POP authentication DB record for %s is too long to rewrite", target);
    }
    reserve_room(opening.fd, opening.st);
    DBT k = key;
    DBT content{};
    content.data = secrets.record;
    content.size = static_cast<u_int32_t>(len);
    int result = opening.db->put(opening.db, nullptr, &k, &content, 0);
    explicit_bzero(secrets.record, sizeof secrets.record);
    report_db_status(result, "store", 0);
    if (result != 0) {
        abandon_write(opening);
        exit_with_error(corrupt, db_file);
    }
    finish_write(opening);
}

// A secret given on the command line: nothing is asked, so the change takes
// one opening, under the exclusive lock.
bool change_at_once(Request &request, const DBT &key, const char *target)
{
    Opening opening = open_db(O_RDWR, true, read_failure);
    std::optional<RecordFields> current = fetch(opening, key);
    if (current)
        load_record(*current, secrets.stored);
    take_record(current.has_value(), target);
    bool exists = current.has_value(); // views into the database, gone with the store
    store_secret(opening, key, current, target, take_secret_argument(request));
    return exists;
}

const Helper reader{"unable to read POP authentication DB %s: %s (%d)",
                    "unable to read POP authentication DB %s: its reader ended by signal %d",
                    db_file};

// What the reader hands back through its pipe, in one write that the pipe
// takes whole: whether the user has a record, and the record.
struct HandedRecord {
    iovec parts[2] = {{&secrets.has_record, sizeof secrets.has_record},
                      {&secrets.stored, sizeof secrets.stored}};
    static constexpr size_t size = sizeof secrets.has_record + sizeof secrets.stored;
    static_assert(size <= PIPE_BUF);
};

// The reader's pipes: the record, and what it writes to standard error and
// to the trace file, which the caller may stall.
enum { record_pipe, errors_pipe, trace_pipe, reader_pipes };

// The reader's side: the record under the shared lock, into its pipe. From
// the lock on it runs as pop, where the caller can neither signal it nor
// stall it: all it writes (nothing to standard output) goes to the parent,
// who writes it as the caller's.
[[noreturn]] void read_for_parent(const DBT &key, int (&pipes)[reader_pipes][2])
{
    dup2(pipes[errors_pipe][1], STDERR_FILENO);
    if (trace_file != nullptr)
        dup2(pipes[trace_pipe][1], fileno(trace_file));
    for (auto &ends : pipes)
        close(ends[0]);
    block_all_signals(); // not even the terminal's signals reach the lock's holder
    Opening reading = open_db(O_RDWR, false, read_failure);
    std::optional<RecordFields> found = fetch(reading, key);
    secrets.has_record = found.has_value();
    if (found)
        load_record(*found, secrets.stored);
    reading.db->close(reading.db, 0);
    if (flock(reading.fd, LOCK_UN) != 0) {
        int err = errno;
        exit_with_error("%s: unable to unlock POP authentication DB\n\t%s (%d) [%d]", db_file,
                        strerror(err), err, 1301);
    }
    locked_fd = -1; // the descriptor stays open, unlocked
    release_lock();
    release_output();
    HandedRecord handed;
    bool sent = writev(pipes[record_pipe][1], handed.parts, 2) == static_cast<ssize_t>(handed.size);
    close_trace_file();
    exit(sent ? 0 : 1);
}

// Holds back what the reader writes until it is gone: standard error from
// one pipe, the trace file's entries from the other.
void collect_reader_output(int errors_fd, int trace_fd)
{
    hold_output();
    pollfd from[] = {{errors_fd, POLLIN, 0}, {trace_fd, POLLIN, 0}};
    FILE *to[] = {stderr, trace_file};
    char chunk[4096];
    while (from[0].fd >= 0 || from[1].fd >= 0) {
        if (poll(from, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (size_t i = 0; i < 2; ++i) {
            if (from[i].fd < 0 || from[i].revents == 0)
                continue;
            ssize_t n = read(from[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                emit_bytes(to[i], chunk, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(from[i].fd);
                from[i].fd = -1;
            }
        }
    }
}

// Reads the record in a short-lived child that gives up the caller's uid as
// it takes the lock, so that the process which asks the secrets stays the
// caller's own: he can end it, and it counts as his. The record lands in
// secrets.stored.
void read_in_child(const DBT &key)
{
    int pipes[reader_pipes][2];
    for (auto &ends : pipes)
        if (pipe2(ends, O_CLOEXEC) != 0)
            fail_helper(reader, errno);
    pid_t pid = fork_helper(reader);
    if (pid == 0)
        read_for_parent(key, pipes);
    for (auto &ends : pipes)
        close(ends[1]);
    collect_reader_output(pipes[errors_pipe][0], pipes[trace_pipe][0]);
    int status = reap_helper(pid, reader);
    HandedRecord handed;
    ssize_t got = readv(pipes[record_pipe][0], handed.parts, 2);
    close(pipes[record_pipe][0]);
    release_output();
    check_helper(status, got == static_cast<ssize_t>(handed.size), reader);
}

// A secret asked for: no lock is held while a person types, and the process
// that asks keeps the caller's identity. The record is read aside, the
// secrets asked, and the record read again under the exclusive lock for the
// store.
bool change_in_dialogue(const DBT &key, const char *target, const CallerIdentity &caller)
{
    // Told before anything is asked.
    if (int journal = open_journal(journal_file, O_RDONLY); journal >= 0)
        close(journal);
    else
        refuse_unjournaled(errno);
    read_in_child(key);
    take_record(secrets.has_record, target);
    size_t old_len = 0;
    if (!caller.privileged && secrets.stored.apop_len > 0)
        old_len = check_old_secret(caller, target, key);
    size_t len = ask_new_secret(old_len);
    explicit_bzero(secrets.old_secret, sizeof secrets.old_secret);

    Opening writing =
        open_db(O_RDWR, true, {"%s: unable to open POP authentication DB:\n\t%s (%i) [%i]", 1383});
    std::optional<RecordFields> current = fetch(writing, key);
    // An ordinary caller's change stands on the secret he saw, and proved.
    std::string_view apop = current ? current->apop : std::string_view();
    std::string_view seen(secrets.stored.apop, secrets.stored.apop_len);
    if (!caller.privileged && apop != seen) {
        abandon_write(writing);
        exit_with_error("The password for %s was changed meanwhile; nothing was written", target);
    }
    store_secret(writing, key, current, target, len);
    return current.has_value(); // the notice tells what was written over
}

} // namespace

void change_secret(Request &request, const CallerIdentity &caller)
{
    atexit(wipe_secrets);
    char *target = target_user(request, caller);
    DBT key = make_key(target);
    bool exists = request.has_secret_argument ? change_at_once(request, key, target)
                                              : change_in_dialogue(key, target, caller);
    explicit_bzero(&secrets, sizeof secrets);
    audit_notice(caller.privileged, "tolmark: %s %s %s%s %s for %s", caller.caller_name,
                 exists ? "changed" : "added", onlysw ? "only " : "", "APOP", "password", target);
    free(target);
}

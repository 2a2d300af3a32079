// A rollback journal beneath Berkeley DB, so that a change lands whole or not at
// all, whatever instant a power cut or a kill -9 comes at. Berkeley DB's page
// writes to the database file are held back in memory until it flushes the
// file. Then the old images of those pages and the file's old size go to the
// journal, which is flushed; then the pages go to the file, which is flushed;
// then the journal is marked empty. The journal also keeps a checksum of each
// page as the change leaves it: an opening that finds a change in it tells a
// file that took the whole change (the journal is only emptied) from one that
// did not (the old images are written back).
//
// The journal is pop's file beside the database, made by -init or by a run of
// root's and kept between changes, so that no change needs a new name in the
// database's folder. It is input like any record: its bounds, its checksum and
// the database's own id are checked before anything in it is used.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <syslog.h>
#include <unistd.h>

#include "authdb.h"

const char journal_file[] = TOLMARK_DB_PATH ".journal";

namespace
{

constexpr char journal_magic[8] = {'t', 'o', 'l', 'm', 'j', 'r', 'n', '1'};
constexpr uint32_t has_old_image = 1;
// Where Berkeley DB's first page of a database keeps its page size and the
// file's unique id, which no change alters.
constexpr off_t page_size_at = 20;
constexpr off_t file_id_at = 52;
constexpr size_t file_id_size = 20;
constexpr uint32_t least_page_size = 512;
constexpr uint32_t most_page_size = 65536;
// No change comes near: a bucket split writes a handful of pages.
constexpr size_t most_held_bytes = 8 << 20;
constexpr size_t most_held_pages = 2048;
constexpr uint64_t most_file_size = 1ull << 42;

struct JournalHeader {
    char magic[8];
    uint32_t page_size;
    uint32_t count; // entries; none: the journal holds no change
    uint64_t old_size;
    uint64_t new_size;
    unsigned char file_id[file_id_size];
    uint32_t reserved;
    uint64_t checksum; // of this header, with this field 0, and every entry
};
static_assert(sizeof(JournalHeader) == 64);

// Each entry is followed by the page's old image when the file held the page.
struct JournalEntry {
    uint64_t pgno;
    uint64_t new_sum; // the page as the change leaves it
    uint32_t flags;
    uint32_t reserved;
};
static_assert(sizeof(JournalEntry) == 24);

uint64_t header_sum(const JournalHeader &header)
{
    JournalHeader copy = header;
    copy.checksum = 0;
    return journal_sum(journal_sum_seed, &copy, sizeof copy);
}

// Moves len bytes by pread or pwrite (io) until all are moved; a call that
// moves nothing is an error.
template <typename Buffer, typename Io>
bool move_all(Io io, int fd, Buffer *data, size_t len, off_t at)
{
    auto *p = static_cast<char *>(const_cast<void *>(static_cast<const void *>(data)));
    while (len > 0) {
        ssize_t n = io(fd, p, len, at);
        if (n <= 0) {
            errno = n == 0 ? EIO : errno;
            return false;
        }
        p += n;
        at += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool pread_all(int fd, void *data, size_t len, off_t at)
{
    return move_all(pread, fd, data, len, at);
}

bool pwrite_all(int fd, const void *data, size_t len, off_t at)
{
    return move_all(pwrite, fd, data, len, at);
}

// The first len bytes of the journal become an empty header and zeros: the
// old pages, which hold old secrets, go with the mark.
// With the change's own image, which it wipes, that takes one write.
bool mark_empty(int journal, size_t len, bool durable, char *image = nullptr)
{
    static const char zeros[4096] = {};
    JournalHeader empty{};
    memcpy(empty.magic, journal_magic, sizeof empty.magic);
    empty.checksum = header_sum(empty);
    if (image != nullptr) {
        explicit_bzero(image, len);
        memcpy(image, &empty, sizeof empty);
    }
    bool done = image != nullptr ? pwrite_all(journal, image, len, 0)
                                 : pwrite_all(journal, &empty, sizeof empty, 0);
    for (size_t at = sizeof empty; done && image == nullptr && at < len; at += sizeof zeros)
        done = pwrite_all(journal, zeros, std::min(sizeof zeros, len - at), static_cast<off_t>(at));
    return done && (!durable || fdatasync(journal) == 0);
}

// ---- the writes of one change, held back ----

struct HeldPage {
    uint64_t pgno;
    char *image;
};

struct HeldWrites {
    bool armed; // a writer's database is being opened: nothing may be written
    int fd;     // Berkeley DB's descriptor of the database file, or -1
    int journal;
    off_t position; // where a write to fd goes
    uint32_t page_size;
    off_t base_size;  // the file's size before the change
    off_t size;       // as the change leaves it
    off_t least_size; // the least the change cut it to
    HeldPage pages[most_held_pages];
    size_t count;
    int err; // the first failure, or 0
    WriteOutcome outcome;
};
HeldWrites held{false, -1, -1, 0, 0, 0, 0, 0, {}, 0, 0, WriteOutcome::none};

void drop_page(HeldPage &page)
{
    if (page.image != nullptr)
        explicit_bzero(page.image, held.page_size);
    free(page.image);
    page.image = nullptr;
}

void drop_all_pages()
{
    for (size_t i = 0; i < held.count; ++i)
        drop_page(held.pages[i]);
    held.count = 0;
}

ssize_t refuse_held(int err)
{
    if (held.err == 0)
        held.err = err;
    errno = err;
    return -1;
}

int refuse_held_call(int err)
{
    refuse_held(err);
    return err;
}

HeldPage *held_page(uint64_t pgno)
{
    for (size_t i = 0; i < held.count; ++i)
        if (held.pages[i].pgno == pgno)
            return &held.pages[i];
    return nullptr;
}

// Berkeley DB writes whole pages through its memory pool.
ssize_t hold_page(const void *data, size_t len, off_t at)
{
    if (len != held.page_size || at < 0 || at % held.page_size != 0 ||
        static_cast<uint64_t>(at) >= most_file_size)
        return refuse_held(EINVAL);
    uint64_t pgno = static_cast<uint64_t>(at) / held.page_size;
    HeldPage *page = held_page(pgno);
    if (page == nullptr) {
        if (held.count == most_held_pages || (held.count + 1) * held.page_size > most_held_bytes)
            return refuse_held(EFBIG);
        char *image = static_cast<char *>(malloc(held.page_size));
        if (image == nullptr)
            return refuse_held(ENOMEM);
        page = &held.pages[held.count++];
        *page = HeldPage{pgno, image};
    }
    memcpy(page->image, data, len);
    held.size = std::max(held.size, at + static_cast<off_t>(len));
    return static_cast<ssize_t>(len);
}

// The file as the change has left it so far.
ssize_t held_pread(int fd, void *data, size_t len, off_t at)
{
    ssize_t n = pread(fd, data, len, at);
    if (fd != held.fd || n < 0)
        return n;
    auto *out = static_cast<char *>(data);
    off_t end = std::min(at + static_cast<off_t>(len), held.size);
    size_t got = end > at ? static_cast<size_t>(end - at) : 0;
    if (static_cast<size_t>(n) < got)
        memset(out + n, 0, got - static_cast<size_t>(n)); // a hole before a page added
    for (size_t i = 0; i < held.count; ++i) {
        off_t from = static_cast<off_t>(held.pages[i].pgno * held.page_size);
        off_t to = from + held.page_size;
        if (to <= at || from >= end || held.pages[i].image == nullptr)
            continue;
        off_t lo = std::max(from, at), hi = std::min(to, end);
        memcpy(out + (lo - at), held.pages[i].image + (lo - from), static_cast<size_t>(hi - lo));
    }
    // Past a cut the file still holds the old bytes, which a read that came
    // up short would take next: what was cut reads as nothing.
    if (got < len && held.size < held.base_size) {
        memset(out + got, 0, len - got);
        got = len;
    }
    return static_cast<ssize_t>(got);
}

// Berkeley DB writes after a seek through these two, also where a positioned
// write would have come up short: a write refused here reaches no file by
// another way. Reads stay positioned, and seek the file itself.
int held_seek(int fd, off_t offset, int whence)
{
    off_t at = lseek(fd, offset, whence);
    if (at < 0)
        return errno;
    if (fd == held.fd)
        held.position = at;
    return 0;
}

ssize_t held_write(int fd, const void *data, size_t len)
{
    if (fd != held.fd)
        return held.armed ? refuse_held(EIO) : write(fd, data, len);
    ssize_t n = hold_page(data, len, held.position);
    if (n > 0)
        held.position += n;
    return n;
}

// This one and the flush answer with the error number, as Berkeley DB takes
// it from them.
int held_ftruncate(int fd, off_t len)
{
    if (fd != held.fd) {
        if (held.armed)
            return refuse_held_call(EIO);
        return ftruncate(fd, len) == 0 ? 0 : errno;
    }
    if (len < 0 || len % held.page_size != 0)
        return refuse_held_call(EINVAL);
    size_t kept = 0;
    for (size_t i = 0; i < held.count; ++i) {
        if (static_cast<off_t>(held.pages[i].pgno * held.page_size) >= len)
            drop_page(held.pages[i]);
        else
            held.pages[kept++] = held.pages[i];
    }
    held.count = kept;
    held.size = len;
    held.least_size = std::min(held.least_size, len);
    return 0;
}

uint64_t zero_page_sum(size_t page)
{
    static const char zeros[most_page_size] = {};
    return journal_sum(journal_sum_seed, zeros, page);
}

// Pages that a cut took from the file and the change did not write again
// join the held ones without an image: the journal keeps their old images,
// and a file that grew past them again holds zeros there.
bool hold_cut_pages()
{
    const uint64_t page = held.page_size;
    const uint64_t old_pages = (static_cast<uint64_t>(held.base_size) + page - 1) / page;
    for (uint64_t p = static_cast<uint64_t>(held.least_size) / page; p < old_pages; ++p) {
        if (held_page(p) != nullptr)
            continue;
        if (held.count == most_held_pages)
            return false;
        held.pages[held.count++] = HeldPage{p, nullptr};
    }
    return held.count * page <= most_held_bytes;
}

// The journal's image of a change: the header, then an entry for every page
// the change writes or cuts away, in the order of the file, each followed by
// the page's old image when the file held it. Null when it cannot be made;
// the caller frees it.
char *journal_image(size_t &len)
{
    if (!hold_cut_pages()) {
        errno = EFBIG;
        return nullptr;
    }
    std::sort(held.pages, held.pages + held.count,
              [](const HeldPage &a, const HeldPage &b) { return a.pgno < b.pgno; });
    const uint64_t page = held.page_size;
    const uint64_t old_pages = (static_cast<uint64_t>(held.base_size) + page - 1) / page;
    len = sizeof(JournalHeader);
    for (size_t i = 0; i < held.count; ++i)
        len += sizeof(JournalEntry) + (held.pages[i].pgno < old_pages ? page : 0);
    char *image = static_cast<char *>(calloc(len, 1));
    if (image == nullptr)
        return nullptr;
    JournalHeader header{};
    memcpy(header.magic, journal_magic, sizeof header.magic);
    header.page_size = held.page_size;
    header.count = static_cast<uint32_t>(held.count);
    header.old_size = static_cast<uint64_t>(held.base_size);
    header.new_size = static_cast<uint64_t>(held.size);
    bool read = pread_all(held.fd, header.file_id, file_id_size, file_id_at);
    char *at = image + sizeof header;
    for (size_t i = 0; read && i < held.count; ++i) {
        const HeldPage &held_one = held.pages[i];
        JournalEntry entry{};
        entry.pgno = held_one.pgno;
        entry.new_sum = held_one.image != nullptr
                            ? journal_sum(journal_sum_seed, held_one.image, page)
                            : zero_page_sum(page);
        entry.flags = entry.pgno < old_pages ? has_old_image : 0;
        memcpy(at, &entry, sizeof entry);
        at += sizeof entry;
        if (entry.flags & has_old_image) {
            // The file may end inside its last page: the rest stays zero.
            off_t from = static_cast<off_t>(entry.pgno * page);
            size_t have = static_cast<size_t>(
                std::min<off_t>(held.base_size - from, static_cast<off_t>(page)));
            read = pread_all(held.fd, at, have, from);
            at += page;
        }
    }
    if (!read) {
        explicit_bzero(image, len);
        free(image);
        return nullptr;
    }
    header.checksum = journal_sum(header_sum(header), image + sizeof header, len - sizeof header);
    memcpy(image, &header, sizeof header);
    return image;
}

// Writes the old images in a journal image back and flushes the file.
bool undo(const char *image, size_t len)
{
    JournalHeader header;
    memcpy(&header, image, sizeof header);
    for (const char *at = image + sizeof header; at < image + len;) {
        JournalEntry entry;
        memcpy(&entry, at, sizeof entry);
        at += sizeof entry;
        if ((entry.flags & has_old_image) == 0)
            continue;
        if (!pwrite_all(held.fd, at, header.page_size,
                        static_cast<off_t>(entry.pgno * header.page_size)))
            return false;
        at += header.page_size;
    }
    return ftruncate(held.fd, static_cast<off_t>(header.old_size)) == 0 && fdatasync(held.fd) == 0;
}

bool write_pages()
{
    static const char zeros[most_page_size] = {};
    for (size_t i = 0; i < held.count; ++i) {
        const HeldPage &page = held.pages[i];
        off_t at = static_cast<off_t>(page.pgno * held.page_size);
        if (at < held.size &&
            !pwrite_all(held.fd, page.image != nullptr ? page.image : zeros, held.page_size, at))
            return false;
    }
    struct stat st;
    if (fstat(held.fd, &st) != 0 || (st.st_size != held.size && ftruncate(held.fd, held.size) != 0))
        return false;
    return fdatasync(held.fd) == 0;
}

// Berkeley DB's flush of the database file: the change goes to the journal,
// then to the file.
int commit()
{
    if (held.err != 0) {
        errno = held.err;
        return -1;
    }
    if (held.count == 0 && held.size == held.base_size)
        return 0; // nothing since the last flush
    size_t len = 0;
    char *image = journal_image(len);
    if (image == nullptr || !pwrite_all(held.journal, image, len, 0) ||
        fdatasync(held.journal) != 0) {
        held.err = errno != 0 ? errno : EIO;
        held.outcome = WriteOutcome::untouched;
        if (image != nullptr) {
            explicit_bzero(image, len);
            free(image);
        }
        mark_empty(held.journal, len, false);
        errno = held.err;
        return -1;
    }
    if (!write_pages()) {
        held.err = errno != 0 ? errno : EIO;
        // The journal stays whole for the next run when the file cannot take
        // its old pages back either.
        held.outcome = undo(image, len) && mark_empty(held.journal, len, true, image)
                           ? WriteOutcome::rolled_back
                           : WriteOutcome::pending;
    } else {
        // Not flushed: the file holds the whole change already, which the
        // journal's checksums tell a later opening.
        mark_empty(held.journal, len, false, image);
        held.outcome = WriteOutcome::made;
    }
    explicit_bzero(image, len);
    free(image);
    drop_all_pages();
    held.base_size = held.least_size = held.size;
    errno = held.err;
    return held.err == 0 ? 0 : -1;
}

int held_fsync(int fd)
{
    int done = fd == held.fd ? commit() : fdatasync(fd);
    return done == 0 ? 0 : errno;
}

void wipe_held()
{
    drop_all_pages();
}

// ---- what an opening finds ----

char page_buffer[most_page_size]; // one page of the journal or the file at a time

enum class Found { nothing, change, damaged, foreign };

bool plausible(const JournalHeader &h)
{
    return h.page_size >= least_page_size && h.page_size <= most_page_size &&
           (h.page_size & (h.page_size - 1)) == 0 && h.count <= 2 * most_held_pages &&
           h.old_size < most_file_size && h.new_size < most_file_size;
}

// Calls each(entry, offset of its old image or -1) for the entries of a
// journal whose header is known plausible, reading nothing outside the file;
// false when an entry is out of bounds or cannot be read, or each says so.
template <typename Each>
bool each_entry(int journal, const JournalHeader &h, off_t journal_size, Each each)
{
    off_t at = static_cast<off_t>(sizeof h);
    for (uint32_t i = 0; i < h.count; ++i) {
        JournalEntry entry;
        if (at + static_cast<off_t>(sizeof entry) > journal_size ||
            !pread_all(journal, &entry, sizeof entry, at))
            return false;
        at += static_cast<off_t>(sizeof entry);
        if ((entry.flags & ~has_old_image) != 0 || entry.pgno >= most_file_size / h.page_size)
            return false;
        off_t image = -1;
        if (entry.flags & has_old_image) {
            // An old image is of a page that the file held.
            if (entry.pgno * h.page_size >= h.old_size ||
                at + static_cast<off_t>(h.page_size) > journal_size)
                return false;
            image = at;
            at += h.page_size;
        }
        if (!each(entry, image))
            return false;
    }
    return true;
}

Found inspect(int journal, int db_fd, JournalHeader &h)
{
    struct stat st;
    if (fstat(journal, &st) != 0 || st.st_size < static_cast<off_t>(sizeof h))
        return Found::nothing;
    if (!pread_all(journal, &h, sizeof h, 0))
        return Found::damaged;
    static const char zeros[sizeof h.magic] = {};
    if (memcmp(h.magic, zeros, sizeof zeros) == 0)
        return Found::nothing;
    if (memcmp(h.magic, journal_magic, sizeof journal_magic) != 0)
        return Found::damaged;
    if (h.count == 0)
        return h.checksum == header_sum(h) ? Found::nothing : Found::damaged;
    if (!plausible(h))
        return Found::damaged;
    uint64_t sum = header_sum(h);
    bool whole = each_entry(journal, h, st.st_size, [&](const JournalEntry &entry, off_t image) {
        sum = journal_sum(sum, &entry, sizeof entry);
        if (image >= 0) {
            if (!pread_all(journal, page_buffer, h.page_size, image))
                return false;
            sum = journal_sum(sum, page_buffer, h.page_size);
        }
        return true;
    });
    explicit_bzero(page_buffer, sizeof page_buffer);
    if (!whole || sum != h.checksum)
        return Found::damaged;
    uint32_t page_size = 0;
    unsigned char id[file_id_size];
    // A file made on a machine of the other byte order keeps its own.
    if (!pread_all(db_fd, &page_size, sizeof page_size, page_size_at) ||
        !pread_all(db_fd, id, sizeof id, file_id_at) ||
        (page_size != h.page_size && __builtin_bswap32(page_size) != h.page_size) ||
        memcmp(id, h.file_id, sizeof id) != 0)
        return Found::foreign;
    return Found::change;
}

// Whether the file holds the whole change: the size it leaves, and each page
// that it writes.
bool took_whole_change(int db_fd, int journal, const JournalHeader &h)
{
    struct stat st;
    if (fstat(journal, &st) != 0)
        return false;
    struct stat db;
    if (fstat(db_fd, &db) != 0 || static_cast<uint64_t>(db.st_size) != h.new_size)
        return false;
    bool whole = each_entry(journal, h, st.st_size, [&](const JournalEntry &entry, off_t) {
        if (entry.pgno * h.page_size >= h.new_size)
            return true; // cut away, as the size shows
        return pread_all(db_fd, page_buffer, h.page_size,
                         static_cast<off_t>(entry.pgno * h.page_size)) &&
               journal_sum(journal_sum_seed, page_buffer, h.page_size) == entry.new_sum;
    });
    explicit_bzero(page_buffer, sizeof page_buffer);
    return whole;
}

bool roll_back(int db_fd, int journal, const JournalHeader &h)
{
    struct stat st;
    if (fstat(journal, &st) != 0)
        return false;
    bool done = each_entry(journal, h, st.st_size, [&](const JournalEntry &entry, off_t image) {
        return image < 0 || (pread_all(journal, page_buffer, h.page_size, image) &&
                             pwrite_all(db_fd, page_buffer, h.page_size,
                                        static_cast<off_t>(entry.pgno * h.page_size)));
    });
    explicit_bzero(page_buffer, sizeof page_buffer);
    return done && ftruncate(db_fd, static_cast<off_t>(h.old_size)) == 0 && fdatasync(db_fd) == 0;
}

// A file of pop's that nobody else may read or write, and no link: only such
// a journal is ever read. The program, pop's, can write no other.
bool fit(int fd, uid_t owner)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == owner &&
           (st.st_mode & 077) == 0;
}

uid_t journal_owner = 0;
const char *journal_caller = "";

} // namespace

// Catches torn and stale writes, not forgeries: whoever can write the journal
// can write the database.
uint64_t journal_sum(uint64_t sum, const void *data, size_t len)
{
    const auto *p = static_cast<const unsigned char *>(data);
    for (; len >= 8; p += 8, len -= 8) {
        uint64_t word;
        memcpy(&word, p, 8);
        sum = (sum ^ word) * 0x9e3779b97f4a7c15u;
        sum ^= sum >> 31;
    }
    for (; len > 0; ++p, --len)
        sum = (sum ^ *p) * 0x100000001b3u;
    return sum;
}

namespace
{

// Whether the journal at name is one that root began to make and a crash cut
// short: an empty file of root's, alone, that nobody else may use.
bool unfinished(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == 0 && st.st_size == 0 &&
           (st.st_mode & 077) == 0;
}

} // namespace

void prepare_journal(const CallerIdentity &caller, Action action)
{
    journal_owner = caller.pop_uid;
    journal_caller = caller.caller_name;
    // -init makes it in the folder that it works in; nobody else may create
    // a name in the database's folder.
    struct stat st;
    if (caller.real_uid != 0 || action == Action::init || lstat(db_file, &st) != 0)
        return;
    bool missing = lstat(journal_file, &st) != 0;
    if ((missing && errno != ENOENT) || (!missing && !unfinished(st)))
        return;
    // Nothing but SIGKILL ends the run halfway; what that leaves, the next
    // run of root's finishes.
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    uid_t euid = geteuid();
    if (setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1)) != 0)
        exit_with_error("internal error @ %i", 1091);
    int err = make_journal(journal_file, caller.pop_uid, caller.pop_gid);
    if (setresuid(static_cast<uid_t>(-1), euid, static_cast<uid_t>(-1)) != 0)
        exit_with_error("internal error @ %i", 1092);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (err == 0)
        audit_notice(true, "tolmark: user \"%s\" made the journal \"%s\" of db \"%s\"",
                     caller.caller_name, journal_file, db_path);
    else if (err != EEXIST && action != Action::list)
        exit_with_error("unable to make the journal %s of POP authentication DB %s: %s (%d)",
                        journal_file, db_path, strerror(err), err);
}

int make_journal(const char *name, uid_t owner, gid_t group)
{
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st;
    // Or the one whose making a crash cut short.
    if (fd < 0 && errno == EEXIST && geteuid() == 0 &&
        (fd = open(name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0)) >= 0 &&
        (fstat(fd, &st) != 0 || !unfinished(st))) {
        close(fd);
        return EEXIST;
    }
    if (fd < 0)
        return errno;
    // A default ACL of the folder would have given others its rights.
    int err = 0;
    if ((fremovexattr(fd, "system.posix_acl_access") != 0 && errno != ENODATA &&
         errno != ENOTSUP) ||
        fchown(fd, geteuid() == 0 ? owner : static_cast<uid_t>(-1), group) != 0 ||
        fchmod(fd, 0600) != 0 || fsync(fd) != 0)
        err = errno;
    close(fd);
    if (err != 0)
        return err;
    // The name, for good.
    char folder[sizeof journal_file];
    const char *slash = strrchr(name, '/');
    snprintf(folder, sizeof folder, "%.*s", slash == nullptr ? 1 : static_cast<int>(slash - name),
             slash == nullptr ? "."
             : slash == name  ? "/"
                              : name);
    int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || fsync(dir) != 0)
        err = errno;
    if (dir >= 0)
        close(dir);
    return err;
}

int open_journal(const char *name, int flags)
{
    int fd = open(name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (!fit(fd, journal_owner)) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

namespace
{

// Settles what the journal holds, under the exclusive lock; the notice that
// tells what was done, or null with errno set when it could not be done.
const char *repair(int db, int journal, Found found, const JournalHeader &h)
{
    const char *what = nullptr;
    if (found == Found::damaged)
        what = "tolmark: user \"%s\" found the journal of db \"%s\" damaged; it was emptied, "
               "not applied";
    else if (found == Found::foreign)
        what = "tolmark: user \"%s\" found a journal of another file beside db \"%s\"; it was "
               "emptied, not applied";
    else if (took_whole_change(db, journal, h))
        // Its pages may be only in the system's cache: a power cut must not
        // take them once the journal is empty.
        what = fdatasync(db) == 0 ? "tolmark: user \"%s\" found the interrupted change of db "
                                    "\"%s\" whole; its journal was emptied"
                                  : nullptr;
    else if (roll_back(db, journal, h))
        what = "tolmark: user \"%s\" rolled back an interrupted change of db \"%s\"";
    struct stat st;
    return what != nullptr && fstat(journal, &st) == 0 &&
                   mark_empty(journal, static_cast<size_t>(st.st_size), true)
               ? what
               : nullptr;
}

} // namespace

JournalState settle_journal(int db_fd, bool exclusive, const char *db_name,
                            const char *journal_name)
{
    int journal = open_journal(journal_name, O_RDONLY);
    if (journal < 0)
        return errno == ENOENT ? JournalState::missing : JournalState::unfit;
    JournalHeader h;
    Found found = inspect(journal, db_fd, h);
    close(journal);
    if (found == Found::nothing)
        return JournalState::clean;
    if (!exclusive)
        return JournalState::needs_exclusive;
    // Under the exclusive lock now, by descriptors that may write. The file
    // is the one locked, whatever its name leads through.
    journal = open_journal(journal_name, O_RDWR);
    int db = open(db_name, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat locked, named;
    const char *what = nullptr;
    bool done = journal >= 0 && db >= 0 && fstat(db_fd, &locked) == 0 && fstat(db, &named) == 0;
    if (done && (locked.st_dev != named.st_dev || locked.st_ino != named.st_ino)) {
        done = false;
        errno = ESTALE;
    }
    if (done && (found = inspect(journal, db, h)) != Found::nothing)
        done = (what = repair(db, journal, found, h)) != nullptr;
    int err = errno;
    close(db);
    close(journal);
    errno = err;
    if (!done)
        return JournalState::unrepaired;
    // Held with the rest of the output, for the system log whatever the
    // caller named: nobody may lose the record of a repair.
    if (what != nullptr)
        trace_log(nullptr, LOG_NOTICE, what, journal_caller, db_path);
    return JournalState::clean;
}

void hold_writes(int journal)
{
    static bool installed = false;
    if (!installed) {
        db_env_set_func_seek(held_seek);
        db_env_set_func_write(held_write);
        db_env_set_func_pread(held_pread);
        db_env_set_func_ftruncate(held_ftruncate);
        db_env_set_func_fsync(held_fsync);
        atexit(wipe_held);
        installed = true;
    }
    held.armed = true;
    held.journal = journal;
    held.err = 0;
    held.outcome = WriteOutcome::none;
}

bool hold_writes_on(int fd, uint32_t page_size)
{
    struct stat st;
    held.armed = false;
    if (page_size < least_page_size || page_size > most_page_size || fstat(fd, &st) != 0)
        return false;
    held.fd = fd;
    held.page_size = page_size;
    held.base_size = held.size = held.least_size = st.st_size;
    return true;
}

WriteOutcome release_writes(int &err)
{
    WriteOutcome outcome = held.outcome;
    // A write that Berkeley DB was refused never reached the file, nor did
    // one that it never flushed.
    if (outcome == WriteOutcome::none && (held.err != 0 || held.count > 0))
        outcome = WriteOutcome::untouched;
    err = held.err != 0 ? held.err : outcome == WriteOutcome::untouched ? EIO : 0;
    drop_all_pages();
    held = HeldWrites{false, -1, -1, 0, 0, 0, 0, 0, {}, 0, 0, WriteOutcome::none};
    return outcome;
}

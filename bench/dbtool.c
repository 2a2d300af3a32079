/* Benchmark helper: builds authentication databases through the ndbm
 * interface and reads single records back; builds the peer's SASL database.
 *
 *   dbtool gen PATH COUNT    write PATH.db holding COUNT users
 *   dbtool sasl FILE COUNT   write FILE, a SASL database of the same COUNT users
 *   dbtool name INDEX        print the name of user number INDEX
 *   dbtool get PATH NAME     print NAME's record in hex (exit 1 if absent)
 *
 * Users and records are a fixed function of the user's number, so a database
 * of a given size is the same wherever it is generated. A record is the
 * complement-encoded APOP secret, a NUL, the SCRAM text and a NUL. About one
 * user in three also has a SCRAM text; one in fifty has SCRAM only.
 */
#define DB_DBM_HSEARCH 1
#include <db.h>

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint64_t mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

/* A small per-user random stream. */
struct stream {
    uint64_t state;
};

static uint64_t next(struct stream *s)
{
    s->state = mix(s->state);
    return s->state;
}

static unsigned below(struct stream *s, unsigned n) { return (unsigned)(next(s) % n); }

/* Two to six lower-case letters followed by the user's number: unique, since
 * the letters end where the digits begin. */
static void user_name(unsigned long index, char *out, size_t size)
{
    struct stream s = {index * 2 + 1};
    char letters[8];
    unsigned n = 2 + below(&s, 5);
    for (unsigned i = 0; i < n; ++i)
        letters[i] = (char)('a' + below(&s, 26));
    letters[n] = '\0';
    snprintf(out, size, "%s%lu", letters, index);
}

static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static char *put_b64(struct stream *s, char *p, unsigned count)
{
    for (unsigned i = 0; i < count; ++i)
        *p++ = b64[below(s, 64)];
    return p;
}

/* Returns the record's size. */
static size_t user_record(unsigned long index, char *out)
{
    struct stream s = {index * 2 + 2};
    unsigned kind = below(&s, 150); /* 0..2: SCRAM only, 3..49: both, else APOP only */
    char *p = out;
    if (kind >= 3) {
        static const char printable[] =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,-_!%#+=";
        unsigned len = 8 + below(&s, 5);
        for (unsigned i = 0; i < len; ++i)
            *p++ = (char)~printable[below(&s, sizeof printable - 1)];
    }
    *p++ = '\0';
    if (kind < 50) {
        p += sprintf(p, "SCRAM-SHA-1:i=4096,s=");
        p = put_b64(&s, p, 22);
        *p++ = ',';
        p = put_b64(&s, p, 27);
        *p++ = '=';
        *p++ = ',';
        p = put_b64(&s, p, 27);
        *p++ = '=';
    }
    *p++ = '\0';
    return (size_t)(p - out);
}

static int generate(const char *path, unsigned long count)
{
    DBM *db = dbm_open(path, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (db == NULL) {
        perror(path);
        return 1;
    }
    char name[32];
    char record[256];
    for (unsigned long i = 0; i < count; ++i) {
        user_name(i, name, sizeof name);
        datum key = {name, (int)strlen(name) + 1};
        datum content = {record, (int)user_record(i, record)};
        if (dbm_store(db, key, content, DBM_INSERT) != 0) {
            fprintf(stderr, "%s: store of %s failed\n", path, name);
            dbm_close(db);
            return 1;
        }
    }
    dbm_close(db);
    return 0;
}

/* The layout that saslpasswd2 writes, stored directly (one process per user
 * would take hours for a million): a hash database whose key is the user, a
 * NUL, the realm, a NUL and "userPassword", and whose record is the secret. */
static int generate_sasl(const char *file, unsigned long count)
{
    DB *db;
    int err = db_create(&db, NULL, 0);
    if (err == 0)
        err = db->set_pagesize(db, 4096);
    if (err == 0)
        err = db->set_cachesize(db, 0, 64 << 20, 1);
    if (err == 0)
        err = db->open(db, NULL, file, NULL, DB_HASH, DB_CREATE | DB_TRUNCATE, 0600);
    if (err != 0) {
        fprintf(stderr, "%s: %s\n", file, db_strerror(err));
        return 1;
    }
    static const char realm[] = "bench", attribute[] = "userPassword";
    char key_bytes[64], secret[16];
    for (unsigned long i = 0; i < count && err == 0; ++i) {
        user_name(i, key_bytes, 32);
        size_t len = strlen(key_bytes) + 1;
        memcpy(key_bytes + len, realm, sizeof realm);
        len += sizeof realm;
        memcpy(key_bytes + len, attribute, sizeof attribute - 1);
        len += sizeof attribute - 1;
        struct stream s = {i * 2 + 2};
        size_t secret_len = 8 + below(&s, 5);
        put_b64(&s, secret, (unsigned)secret_len);
        DBT key = {.data = key_bytes, .size = (u_int32_t)len};
        DBT content = {.data = secret, .size = (u_int32_t)secret_len};
        err = db->put(db, NULL, &key, &content, 0);
    }
    if (err != 0)
        fprintf(stderr, "%s: %s\n", file, db_strerror(err));
    int closed = db->close(db, 0);
    return err == 0 && closed == 0 ? 0 : 1;
}

static int show(const char *path, const char *name)
{
    DBM *db = dbm_open(path, O_RDONLY, 0);
    if (db == NULL) {
        perror(path);
        return 2;
    }
    datum key = {(char *)name, (int)strlen(name) + 1};
    datum record = dbm_fetch(db, key);
    int status = 1;
    if (record.dptr != NULL) {
        for (int i = 0; i < record.dsize; ++i)
            printf("%02x", (unsigned char)record.dptr[i]);
        putchar('\n');
        status = 0;
    }
    dbm_close(db);
    return status;
}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "gen") == 0)
        return generate(argv[2], strtoul(argv[3], NULL, 10));
    if (argc == 4 && strcmp(argv[1], "sasl") == 0)
        return generate_sasl(argv[2], strtoul(argv[3], NULL, 10));
    if (argc == 3 && strcmp(argv[1], "name") == 0) {
        char name[32];
        user_name(strtoul(argv[2], NULL, 10), name, sizeof name);
        puts(name);
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "get") == 0)
        return show(argv[2], argv[3]);
    fprintf(stderr,
            "usage: dbtool gen PATH COUNT | sasl FILE COUNT | name INDEX | get PATH NAME\n");
    return 2;
}

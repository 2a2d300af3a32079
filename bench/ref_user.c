/* Reference for "-user NAME SECRET": the ndbm work of one change, without
 * the program's checks, locking, password database look-ups or logging:
 * open read-only, fetch, close; open read-write, store the new record (the
 * encoded secret and the SCRAM text carried over), close.
 *
 *   ref_user PATH NAME SECRET
 */
#define DB_DBM_HSEARCH 1
#include <db.h>

#include <fcntl.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: ref_user PATH NAME SECRET\n");
        return 2;
    }
    const char *path = argv[1];
    datum key = {argv[2], (int)strlen(argv[2]) + 1};
    const char *secret = argv[3];

    char scram[1024] = "";
    size_t scram_len = 0;
    DBM *db = dbm_open(path, O_RDONLY, 0);
    if (db == NULL) {
        perror(path);
        return 1;
    }
    datum old = dbm_fetch(db, key);
    if (old.dptr != NULL) {
        size_t apop = strnlen(old.dptr, (size_t)old.dsize);
        if (apop + 1 < (size_t)old.dsize) {
            scram_len = strnlen(old.dptr + apop + 1, (size_t)old.dsize - apop - 1);
            if (scram_len >= sizeof scram)
                scram_len = sizeof scram - 1;
            memcpy(scram, old.dptr + apop + 1, scram_len);
        }
    }
    dbm_close(db);

    char record[2048];
    size_t secret_len = strlen(secret);
    if (secret_len + scram_len + 2 > sizeof record)
        return 1;
    for (size_t i = 0; i < secret_len; ++i)
        record[i] = (char)~(unsigned char)secret[i];
    record[secret_len] = '\0';
    memcpy(record + secret_len + 1, scram, scram_len);
    record[secret_len + 1 + scram_len] = '\0';

    db = dbm_open(path, O_RDWR, 0);
    if (db == NULL) {
        perror(path);
        return 1;
    }
    datum content = {record, (int)(secret_len + scram_len + 2)};
    int result = dbm_store(db, key, content, DBM_REPLACE);
    dbm_close(db);
    return result == 0 ? 0 : 1;
}

/* Reference for "-list ALL" at the least Berkeley DB allows: one cursor walk
 * over the hash file, each key handed back with its record, printing the
 * same line as the program.
 *
 *   ref_cursor PATH      (the database is PATH.db)
 */
#include <db.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: ref_cursor PATH\n");
        return 2;
    }
    char file[4096];
    snprintf(file, sizeof file, "%s.db", argv[1]);
    DB *db;
    DBC *cursor;
    int err = db_create(&db, NULL, 0);
    if (err == 0)
        err = db->open(db, NULL, file, NULL, DB_HASH, DB_RDONLY, 0);
    if (err == 0)
        err = db->cursor(db, NULL, &cursor, 0);
    if (err != 0) {
        fprintf(stderr, "%s: %s\n", file, db_strerror(err));
        return 1;
    }
    DBT key, record;
    memset(&key, 0, sizeof key);
    memset(&record, 0, sizeof record);
    while ((err = cursor->get(cursor, &key, &record, DB_NEXT)) == 0) {
        if (record.size == 0)
            continue;
        const char *data = record.data;
        size_t apop = strnlen(data, record.size);
        int scram = apop + 1 < record.size && data[apop + 1] != '\0';
        printf("%-16.*s: %s %s\n", (int)strnlen(key.data, key.size), (const char *)key.data,
               apop != 0 ? "APOP" : "    ", scram ? "SCRAM" : "");
    }
    db->close(db, 0);
    return err == DB_NOTFOUND ? 0 : 1;
}

/* Reference for "-list ALL": the plain ndbm loop over every key, fetching
 * each record and printing the same line as the program.
 *
 *   ref_list PATH
 */
#define DB_DBM_HSEARCH 1
#include <db.h>

#include <fcntl.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: ref_list PATH\n");
        return 2;
    }
    DBM *db = dbm_open(argv[1], O_RDONLY, 0);
    if (db == NULL) {
        perror(argv[1]);
        return 1;
    }
    for (datum key = dbm_firstkey(db); key.dptr != NULL; key = dbm_nextkey(db)) {
        datum record = dbm_fetch(db, key);
        if (record.dptr == NULL)
            continue;
        size_t apop = strnlen(record.dptr, (size_t)record.dsize);
        int scram = apop + 1 < (size_t)record.dsize && record.dptr[apop + 1] != '\0';
        printf("%-16s: %s %s\n", key.dptr, apop != 0 ? "APOP" : "    ", scram ? "SCRAM" : "");
    }
    dbm_close(db);
    return 0;
}

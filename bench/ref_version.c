/* Reference for "-version": a program linked against libc and libdb that
 * prints one line. It names one libdb routine so that the library is loaded
 * whatever the linker's defaults. */
#define DB_DBM_HSEARCH 1
#include <db.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc > 2)
        return db_version(NULL, NULL, NULL) == NULL;
    printf("%s v%s\n", argc > 0 ? argv[0] : "", "4.1.0");
    return 0;
}

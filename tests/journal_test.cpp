// The writes held back for the journal: a change larger than Berkeley DB's
// cache, whose pool writes pages out and reads them again before the flush,
// reads what it wrote, and reaches the file whole at the flush.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "authdb.h"

namespace
{

DBT dbt(std::string &text)
{
    DBT d{};
    d.data = text.data();
    d.size = static_cast<u_int32_t>(text.size());
    return d;
}

TEST(HeldWrites, ChangeLargerThanTheCache)
{
    char pattern[] = "/tmp/tolmark-held.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern, file = folder + "/t.db", name = folder + "/t.journal";
    DB *db = nullptr;
    ASSERT_EQ(db_create(&db, nullptr, 0), 0);
    ASSERT_EQ(db->open(db, nullptr, file.c_str(), nullptr, DB_HASH, DB_CREATE, 0600), 0);
    ASSERT_EQ(db->close(db, 0), 0);
    int journal = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(journal, 0);

    hold_writes(journal);
    ASSERT_EQ(db_create(&db, nullptr, 0), 0);
    ASSERT_EQ(db->set_cachesize(db, 0, 32 * 1024, 1), 0); // the least it takes
    ASSERT_EQ(db->open(db, nullptr, file.c_str(), nullptr, DB_HASH, 0, 0), 0);
    int fd = -1;
    u_int32_t page_size = 0;
    ASSERT_EQ(db->fd(db, &fd), 0);
    ASSERT_EQ(db->get_pagesize(db, &page_size), 0);
    ASSERT_TRUE(hold_writes_on(fd, page_size));
    const off_t before = static_cast<off_t>(std::filesystem::file_size(file));
    for (int i = 0; i < 3000; ++i) {
        std::string k = "user" + std::to_string(i), v(100, static_cast<char>('a' + i % 26));
        DBT key = dbt(k), value = dbt(v);
        ASSERT_EQ(db->put(db, nullptr, &key, &value, 0), 0) << i;
    }
    // Nothing reached the file before the flush.
    EXPECT_EQ(static_cast<off_t>(std::filesystem::file_size(file)), before);
    ASSERT_EQ(db->close(db, 0), 0);
    int err = -1;
    EXPECT_EQ(release_writes(err), WriteOutcome::made);
    EXPECT_EQ(err, 0);
    close(journal);

    ASSERT_EQ(db_create(&db, nullptr, 0), 0);
    ASSERT_EQ(db->open(db, nullptr, file.c_str(), nullptr, DB_HASH, DB_RDONLY, 0), 0);
    for (int i = 0; i < 3000; ++i) {
        std::string k = "user" + std::to_string(i);
        DBT key = dbt(k), value{};
        ASSERT_EQ(db->get(db, nullptr, &key, &value, 0), 0) << i;
        EXPECT_EQ(std::string(static_cast<char *>(value.data), value.size),
                  std::string(100, static_cast<char>('a' + i % 26)));
    }
    db->close(db, 0);
    EXPECT_EQ(system(("db_verify -q " + file + " >/dev/null 2>&1").c_str()), 0);
    std::filesystem::remove_all(folder);
}

// While a writer's database is being opened nothing may be written, and a
// write refused is not made by another way.
TEST(HeldWrites, RefusedWriteReachesNoFile)
{
    char pattern[] = "/tmp/tolmark-held.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string folder = pattern, file = folder + "/t.db";
    DB *db = nullptr;
    ASSERT_EQ(db_create(&db, nullptr, 0), 0);
    ASSERT_EQ(db->open(db, nullptr, file.c_str(), nullptr, DB_HASH, DB_CREATE, 0600), 0);
    ASSERT_EQ(db->close(db, 0), 0);
    const auto before = std::filesystem::last_write_time(file);
    hold_writes(-1); // armed, and never told which descriptor to hold
    ASSERT_EQ(db_create(&db, nullptr, 0), 0);
    ASSERT_EQ(db->open(db, nullptr, file.c_str(), nullptr, DB_HASH, 0, 0), 0);
    std::string k = "user", v = "value";
    DBT key = dbt(k), value = dbt(v);
    ASSERT_EQ(db->put(db, nullptr, &key, &value, 0), 0);
    EXPECT_NE(db->close(db, 0), 0);
    int err = 0;
    EXPECT_EQ(release_writes(err), WriteOutcome::untouched);
    EXPECT_EQ(err, EIO);
    EXPECT_EQ(std::filesystem::last_write_time(file), before);
    std::filesystem::remove_all(folder);
}

} // namespace

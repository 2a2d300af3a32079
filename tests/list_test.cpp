// Listing entries: the markers a record shows, who may list what, and records
// that other software wrote.
#include <fcntl.h>
#include <tuple>

#include "harness.h"

#define DB_DBM_HSEARCH 1
#include <db.h>

namespace
{

constexpr Caller user_all{1004, 1004}; // the user named ALL
constexpr Caller long_name{1005, 1005};

const std::string refused =
    program_path + ": Only superuser or user \"pop\" can perform the requested function\n";

std::string no_entry(const std::string &name)
{
    return program_path + ": no entry for \"" + name + "\" in POP authentication DB\n";
}

class List : public Tolmark
{
  protected:
    // Stores the records; returns the listing of all of them, in the order in
    // which the database hands out its keys.
    std::string fill(const std::vector<std::tuple<Bytes, Bytes, std::string>> &entries)
    {
        create_db();
        std::map<Bytes, std::string> lines;
        for (const auto &[name, record, line] : entries) {
            put(name, record);
            lines[name] = line;
        }
        std::string all;
        for (const Bytes &k : keys_in_order())
            all += lines.at(k);
        return all;
    }

    static std::vector<Bytes> keys_in_order()
    {
        std::vector<Bytes> keys;
        DBM *db = dbm_open(db_path.c_str(), O_RDONLY, 0);
        EXPECT_NE(db, nullptr);
        for (datum k = dbm_firstkey(db); k.dptr != nullptr; k = dbm_nextkey(db))
            keys.emplace_back(k.dptr, static_cast<size_t>(k.dsize));
        dbm_close(db);
        return keys;
    }
};

TEST_F(List, MarkersAndNames)
{
    const std::vector<std::tuple<Bytes, Bytes, std::string>> entries = {
        {key("alice"), record_of("s", "scram"), "alice           : APOP SCRAM\n"},
        {key("bob"), record_of("s"), "bob             : APOP \n"},
        {key("carol"), record_of("", "scram"), "carol           :      SCRAM\n"},
        {key("dave"), record_of(""), "dave            :      \n"},
        {key("fifteen-chars15"), record_of("s"), "fifteen-chars15 : APOP \n"},
        {key("sixteen-chars-16"), record_of("s", "x"), "sixteen-chars-16: APOP SCRAM\n"},
        {key("averyverylongusername"), record_of("", "x"), "averyverylongusername:      SCRAM\n"},
        {key("\x1b[2J\x1b[Hfake"), record_of("s"), "\x1b[2J\x1b[Hfake     : APOP \n"},
        {key("x\nroot"), record_of("", "x"), "x\nroot          :      SCRAM\n"},
        {key("zo\xc3\xab\x7f"), record_of(""), "zo\xc3\xab\x7f           :      \n"},
    };
    std::string all = fill(entries);
    for (const auto &[name, record, line] : entries) {
        std::string text = name.substr(0, name.size() - 1);
        RunResult r = run(root, {"-list", text});
        EXPECT_EQ(r.status, 0) << text;
        EXPECT_EQ(r.out, line);
        EXPECT_EQ(r.err, "");
    }
    RunResult r = run(root, {"-list", "ALL"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, all);
    EXPECT_EQ(r.err, "");
    // A terminal is shown a name's control bytes as traces show them.
    r = run({.args = {"-list", "ALL"}, .out_to_terminal = true});
    for (const std::string line :
         {"\\0x1b[2J\\0x1b[Hfake: APOP \r\n", "\nx\\nroot         :      SCRAM\r\n",
          "\nzo\xc3\xab\\0x7f       :      \r\n"})
        EXPECT_NE(r.terminal.find(line), std::string::npos) << line << r.terminal;
    EXPECT_EQ(r.terminal.find('\x1b'), std::string::npos) << r.terminal;
}

TEST_F(List, WhoMayListWhat)
{
    const std::string alice_line = "alice           : APOP SCRAM\n";
    std::string all = fill({
        {key("alice"), record_of("a", "scram"), alice_line},
        {key("ALL"), record_of("b"), "ALL             : APOP \n"},
        {key("averyverylongusername"), record_of("c"), "averyverylongusername: APOP \n"},
        {key("carol"), record_of(""), "carol           :      \n"},
    });
    struct Case {
        Caller who;
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {alice, {"-list"}, 0, alice_line, ""},
        {alice, {"-list", "alice"}, 0, alice_line, ""},
        {alice, {"-list", "carol"}, 1, "", refused},
        {alice, {"-list", "ALL"}, 1, "", refused},
        {bob, {"-list"}, 1, "", no_entry("bob")},
        {bob, {"-list", "bob"}, 1, "", no_entry("bob")},
        {long_name, {"-list"}, 0, "averyverylongusername: APOP \n", ""},
        {user_all, {"-list"}, 0, "ALL             : APOP \n", ""},
        {user_all, {"-list", "ALL"}, 0, "ALL             : APOP \n", ""},
        {user_all, {"-list", "alice"}, 1, "", refused},
        {pop, {"-list", "ALL"}, 0, all, ""},
        {pop, {"-list"}, 1, "", no_entry("pop")},
        {root, {"-list", "alice"}, 0, alice_line, ""},
        {root, {"-list", "bob"}, 1, "", no_entry("bob")},
        {root, {"-list", "stranger"}, 1, "", no_entry("stranger")},
    };
    for (const Case &c : cases) {
        RunResult r = run(c.who, c.args);
        std::string what = std::to_string(c.who.uid) + " " + c.args.back();
        EXPECT_EQ(r.status, c.status) << what;
        EXPECT_EQ(r.out, c.out) << what;
        EXPECT_EQ(r.err, c.err) << what;
    }
}

TEST_F(List, AllOfAnEmptyDatabase)
{
    create_db();
    RunResult r = run(root, {"-list", "ALL"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    r = run(user_all, {"-list", "ALL"}); // his own entry, which he has not
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, no_entry("ALL"));
}

// Records and keys not laid out as this program writes them; the long ones
// reach past the program's field buffers. Enough users to fill several hash
// buckets, so that the listing crosses pages.
TEST_F(List, RecordsWrittenByOtherSoftware)
{
    const Bytes long_key(1500, 'k');
    const std::string long_name(1024, 'n');
    std::vector<std::tuple<Bytes, Bytes, std::string>> entries = {
        {key("alice"), Bytes(2000, 'x') + '\0' + "scram" + '\0', "alice           : APOP SCRAM\n"},
        {key("bob"), Bytes(1500, 'y'), "bob             : APOP \n"},
        {key("carol"), '\0' + Bytes(1500, 'z'), "carol           :      SCRAM\n"},
        {key("erin"), Bytes(1, '\0'), "erin            :      \n"},
        {"dave", "abc", "dave            : APOP \n"},
        {long_key, record_of("s"), "(long key)\n"},
        {key(long_name), record_of("s", "x"), long_name + ": APOP SCRAM\n"},
        {key(std::string(1100, 'e')), "",
         std::string(16, 'e') + ':' + std::string(1007, ' ') + " *** no information?!?\n"},
    };
    for (int i = 100; i < 400; ++i)
        entries.emplace_back(key("user" + std::to_string(i)), record_of(i % 2 ? "s" : "", "x"),
                             "user" + std::to_string(i) +
                                 (i % 2 ? "         : APOP SCRAM\n" : "         :      SCRAM\n"));
    std::string all = fill(entries);
    RunResult r = run(root, {"-list", "ALL"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // The long key's line: its text, cut where the program chooses.
    size_t at = r.out.find(long_key.substr(0, 16));
    ASSERT_NE(at, std::string::npos) << r.out;
    size_t end = r.out.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    std::string long_line = r.out.substr(at, end + 1 - at);
    EXPECT_EQ(long_line.find_first_not_of('k'), long_line.size() - 8) << long_line;
    EXPECT_TRUE(long_line.ends_with(": APOP \n")) << long_line;
    EXPECT_EQ(r.out.substr(0, at) + "(long key)\n" + r.out.substr(end + 1), all);

    // Traces cut names to 1023 characters; every entry and the end are traced,
    // to a trace file and to the system log, which takes them once the lock
    // is gone: those that filled the buffer first, and those still in it.
    std::string trace = file("trace");
    r = run(root, {"-trace", trace, "-list", "ALL"});
    EXPECT_EQ(r.status, 0);
    r = run(root, {"-debug", "-list", "ALL"});
    EXPECT_EQ(r.status, 0);
    std::string logged;
    for (const LogEntry &entry : syslog())
        logged += "] " + entry.message + "\n";
    for (const std::string &text : {read_file(trace), logged}) {
        EXPECT_NE(text.find("] Listing user \"" + long_name.substr(0, 1023) +
                            "\": APOP yes; SCRAM yes\n"),
                  std::string::npos);
        const std::string fetching = "] ...fetching: (";
        size_t fetches = 0;
        for (size_t i = text.find(fetching); i != std::string::npos; i = text.find(fetching, i + 1))
            ++fetches;
        EXPECT_EQ(fetches, entries.size());
        size_t end_report =
            text.find("] DB first/next key succeeded: Success 0 (2: No such file or directory)\n");
        EXPECT_NE(end_report, std::string::npos);
        EXPECT_GT(end_report, text.rfind(fetching));
    }

    for (size_t i = 0; i < 4; ++i) {
        const auto &[name, record, line] = entries[i];
        r = run(root, {"-list", name.substr(0, name.size() - 1)});
        EXPECT_EQ(r.status, 0) << line;
        EXPECT_EQ(r.out, line);
    }
    r = run(root, {"-list", "dave"}); // stored without the key's NUL
    EXPECT_EQ(r.err, no_entry("dave"));
    EXPECT_EQ(r.status, 1);
}

// Berkeley DB hands out no data for an empty record: such a record, written
// by other software, has a key but no information.
TEST_F(List, EmptyRecordHasNoInformation)
{
    std::string all = fill({
        {key("alice"), "", "alice:            *** no information?!?\n"},
        {key("sixteen-chars-16"), "", "sixteen-chars-16:  *** no information?!?\n"},
        {key("bob"), record_of("s"), "bob             : APOP \n"},
        {key("carol"), "", "carol:            *** no information?!?\n"},
        {key("dave"), record_of("", "x"), "dave            :      SCRAM\n"},
        {key("erin"), "", "erin:             *** no information?!?\n"},
        {key("frank"), record_of("f"), "frank           : APOP \n"},
        {key("\x1b]0;t\a"), "", "\x1b]0;t\a:           *** no information?!?\n"},
    });
    // Empty records read the same wherever they come in the iteration.
    RunResult r = run(root, {"-list", "ALL"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, all);
    EXPECT_EQ(r.err, "");
    r = run({.args = {"-list", "ALL"}, .out_to_terminal = true});
    EXPECT_NE(r.terminal.find("\\0x1b]0;t\\a:           *** no information?!?\r\n"),
              std::string::npos)
        << r.terminal;

    r = run(root, {"-list", "alice"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, no_entry("alice"));

    // Such a key can still be deleted.
    for (const char *name : {"alice", "carol", "erin"}) {
        r = run(root, {"-delete", name});
        EXPECT_EQ(r.status, 0) << name << r.err;
        EXPECT_FALSE(get(key(name)).has_value()) << name;
    }
    EXPECT_EQ(contents().size(), 5u);
}

} // namespace

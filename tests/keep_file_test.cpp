#include "tests/store_fixture.h"

#include <aclapi.h>
#include <sddl.h>

#include <functional>

#include "store/keep_records.h"

namespace {

keep_entry described_entry(const std::wstring &path, const std::string &text) {
    keep_entry entry;
    entry.path = path;
    entry.text = text;
    entry.code_page = GetACP();
    entry.identity.known = true;
    entry.identity.file_id = 77;
    return entry;
}

std::vector<std::string> texts_walked(const std::string &image, bool &clean, size_t &complete) {
    std::vector<std::string> texts;
    clean =
        walk_keep_records(image.data(), image.size(), complete,
                          [&](const keep_entry &entry, size_t) { texts.push_back(entry.text); });
    return texts;
}

// Damage costs the records it touches and no other; a record still being
// appended is read again later, not taken as damage.
TEST(KeepRecords, DamageCostsOnlyTheRecordsItTouches) {
    std::string one, two, three;
    append_keep_record(described_entry(L"C:\\a.txt", "first"), one);
    append_keep_record(described_entry(L"C:\\b.txt", "second"), two);
    append_keep_record(described_entry(L"C:\\c.txt", "third"), three);
    std::string whole = one + two + three;
    struct damage {
        const char *name;
        std::string image;
        std::vector<std::string> read;
        bool clean;
        size_t complete;
    } cases[] = {
        {"intact", whole, {"first", "second", "third"}, true, whole.size()},
        {"the last one still being appended",
         one + two + three.substr(0, 30),
         {"first", "second"},
         true,
         one.size() + two.size()},
        {"a byte of the middle one's text changed",
         one + two.substr(0, two.size() - 6) + "X" + two.substr(two.size() - 5) + three,
         {"first", "third"},
         false,
         whole.size()},
        {"the middle one torn and the next appended after it",
         one + two.substr(0, 20) + three,
         {"first", "third"},
         false,
         one.size() + 20 + three.size()},
        {"garbage before the first",
         "garbage" + whole,
         {"first", "second", "third"},
         false,
         whole.size() + 7},
        {"a length beyond any record",
         one + std::string("QVk1\xff\xff\xff\x7f", 8) + three,
         {"first", "third"},
         false,
         one.size() + 8 + three.size()},
    };
    for (const damage &row : cases) {
        SCOPED_TRACE(row.name);
        bool clean;
        size_t complete;
        EXPECT_EQ(row.read, texts_walked(row.image, clean, complete));
        EXPECT_EQ(row.clean, clean);
        EXPECT_EQ(row.complete, complete);
    }
    keep_entry back;
    size_t end;
    walk_keep_records(one.data(), one.size(), end, [&](const keep_entry &e, size_t) { back = e; });
    EXPECT_EQ(L"C:\\a.txt", back.path);
    EXPECT_EQ(77u, back.identity.file_id);
    EXPECT_TRUE(back.identity.known);
}

class KeepFileTest : public StoreTest {
  protected:
    std::wstring keep_path() { return wide(temp_.path() + "keep.dat"); }
    std::string keep_bytes() {
        std::string bytes;
        read_whole_file(temp_.path() + "keep.dat", bytes);
        return bytes;
    }
};

// Two processes' views of one keep file: each reads what the other
// appended, a compaction keeps the last few versions of a text, and a
// reader that held the old file finds the new one.
TEST_F(KeepFileTest, AppendsAreSeenAndACompactionKeepsTheLastFewVersions) {
    CKeepFile writer, reader;
    writer.set_path(keep_path());
    reader.set_path(keep_path());
    CKeepFile::kept_path kept;
    EXPECT_FALSE(reader.find(L"C:\\x.txt", kept)) << "no file yet is nothing kept";
    EXPECT_EQ(0u, reader.problem());
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(writer.record(described_entry(L"C:\\x.txt", "v" + std::to_string(i))));
    ASSERT_TRUE(writer.record(described_entry(L"C:\\y.txt", "y")));
    ASSERT_TRUE(reader.find(L"C:\\x.txt", kept));
    EXPECT_EQ("v9", kept.last_change()->text);
    EXPECT_EQ(4u, kept.history.size());

    size_t before = keep_bytes().size();
    ASSERT_TRUE(writer.compact());
    EXPECT_LT(keep_bytes().size(), before);
    keep_entry removal = described_entry(L"C:\\y.txt", "");
    removal.event = keep_event::removed;
    ASSERT_TRUE(writer.record(removal));
    CKeepFile fresh;
    fresh.set_path(keep_path());
    for (CKeepFile *view : {&reader, &fresh}) {
        ASSERT_TRUE(view->find(L"C:\\x.txt", kept));
        EXPECT_EQ("v9", kept.last_change()->text);
        EXPECT_EQ("v6", kept.history.front().text);
        ASSERT_TRUE(view->find(L"C:\\y.txt", kept));
        EXPECT_EQ(keep_event::removed, kept.last_change()->event);
    }
}

// A damaged keep file costs the damaged records; the damage is kept aside
// and the file written anew from what could be read.
TEST_F(KeepFileTest, ADamagedFileIsKeptAsideAndReadAroundTheDamage) {
    std::string image(keep_file_header, sizeof(keep_file_header));
    for (const char *name : {"a", "b", "c"})
        append_keep_record(described_entry(wide(std::string("C:\\") + name + ".txt"), name), image);
    image[image.size() / 2] ^= 0x55;
    ASSERT_TRUE(write_whole_file(temp_.path() + "keep.dat", image));
    std::vector<CKeepFile::kept_path> paths;
    ASSERT_TRUE(keep_file.read_all(paths));
    EXPECT_EQ(2u, paths.size());
    std::string aside;
    ASSERT_TRUE(read_whole_file(temp_.path() + "keep.dat.bad", aside));
    EXPECT_EQ(image, aside);
    CKeepFile again;
    again.set_path(keep_path());
    ASSERT_TRUE(again.read_all(paths));
    EXPECT_EQ(2u, paths.size());
    EXPECT_FALSE(path_exists(temp_.path() + "keep.dat.bad-")) << "no second copy aside";
}

// The keep file only ever adds to a description's safety: when it cannot
// be written the description is still written, and only the keep file
// says so; when it belongs to another user it is never read.
TEST_F(KeepFileTest, AKeepFileThatCannotBeHadChangesNoWrite) {
    std::string item = make_file("item.txt");
    std::string not_a_folder = make_file("plain");
    keep_file.set_path(wide(not_a_folder + "\\keep.dat"));
    EXPECT_EQ(0u, info_holder.add_description(wide(item).c_str(), 2, "still written"));
    std::string text;
    EXPECT_TRUE(info_holder.get_description(wide(item).c_str(), text));
    EXPECT_EQ("still written", text);
    EXPECT_NE(0u, keep_file.problem());

    keep_file.set_path(keep_path());
    ASSERT_EQ(0u, info_holder.add_description(wide(item).c_str(), 2, "kept"));
    CKeepFile::kept_path kept;
    ASSERT_TRUE(keep_file.find(wide(item).c_str(), kept));
    // Wine answers a change of owner with success and keeps the owner.
    std::string keep = temp_.path() + "keep.dat";
    PSID system_sid = nullptr, owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-18", &system_sid));
    SetNamedSecurityInfoA(&keep[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, system_sid, nullptr,
                          nullptr, nullptr);
    bool owner_changed =
        GetNamedSecurityInfoA(keep.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
        owner && EqualSid(owner, system_sid);
    LocalFree(descriptor);
    LocalFree(system_sid);
    if (!owner_changed)
        GTEST_SKIP() << "this system keeps a file's owner: another user's keep file cannot be made";
    CKeepFile other;
    other.set_path(keep_path());
    EXPECT_FALSE(other.find(wide(item).c_str(), kept));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), other.problem());
}

} // namespace

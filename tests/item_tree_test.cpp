#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include <string>
#include <vector>

#include "store/info_holder.h"
#include "store/path_text.h"
#include "tests/store_fixture.h"

namespace {

// "name" for a node, "name*" when it carries a record, children in
// parentheses after it.
std::string render(const CInfoHolder::item_tree &node) {
    std::string text;
    for (const auto &child : node.children) {
        if (!text.empty())
            text += ",";
        text += child->name + (child->item ? "*" : "");
        if (!child->children.empty())
            text += "(" + render(*child) + ")";
    }
    return text;
}

std::vector<CInfoHolder::record_ptr> records_of(const std::vector<std::wstring> &paths) {
    std::vector<CInfoHolder::record_ptr> records;
    for (const std::wstring &path : paths)
        records.push_back(boost::make_shared<item_info>(0, path.c_str()));
    return records;
}

} // namespace

TEST(ItemTree, OneNodePerComponentInTheOrderRecordsCome) {
    struct {
        const char *what;
        std::vector<std::wstring> paths; // in ascending key order
        std::string tree;
    } cases[] = {
        {"an empty index", {}, ""},
        {"a folder's record after its files",
         {L"C:\\x.txt", L"C:\\docs\\a.txt", L"C:\\docs\\b.txt", L"C:\\docs"},
         "C:(x.txt*,docs(a.txt*,b.txt*),docs*)"},
        {"a folder's record before its files",
         {L"C:\\docs", L"C:\\docs\\a.txt"},
         "C:(docs*(a.txt*))"},
        {"names differing in case",
         {L"C:\\Docs\\a.txt", L"C:\\docs\\b.txt"},
         "C:(Docs(a.txt*),docs(b.txt*))"},
        {"a described drive root", {L"C:\\"}, "C:"},
        {"a share", {L"\\\\server\\share\\x.txt"}, "((server(share(x.txt*))))"},
        {"a path without a backslash", {L"report.txt"}, "report.txt*"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto root = build_item_tree(records_of(c.paths));
        ASSERT_TRUE(root);
        EXPECT_EQ("", root->name);
        EXPECT_FALSE(root->item);
        EXPECT_EQ(c.tree, render(*root));
    }
}

TEST(ItemTree, ALeafSharesItsRecordAndOutlivesTheIndexEntry) {
    auto records = records_of({L"C:\\a\\b.txt"});
    auto root = build_item_tree(records);
    const CInfoHolder::record_ptr &leaf = root->children[0]->children[0]->children[0]->item;
    EXPECT_EQ(records[0], leaf);
    records.clear();
    ASSERT_TRUE(leaf);
    EXPECT_EQ("C:\\a\\b.txt", leaf->path);
}

class HolderTree : public StoreTest {};

TEST_F(HolderTree, BuildsFromTheIndexInKeyOrder) {
    // Records written out of key order: the index hands them over by key.
    std::vector<std::string> paths = {"C:\\f\\one.txt", "C:\\f\\two.txt", "C:\\f\\three.txt",
                                      "C:\\f\\four.txt", "C:\\f\\five.txt"};
    std::string bytes;
    for (const std::string &path : paths)
        bytes += record_bytes(1, path);
    ASSERT_TRUE(write_whole_file(index_file_, bytes));
    CInfoHolder holder;
    holder.load_index();
    auto root = holder.build_tree();
    ASSERT_TRUE(root);
    ASSERT_EQ(1u, root->children.size());
    const auto &folder = *root->children[0]->children[0];
    std::vector<CInfoHolder::record_ptr> in_order = holder.records();
    ASSERT_EQ(paths.size(), in_order.size());
    ASSERT_EQ(paths.size(), folder.children.size());
    for (size_t i = 0; i < in_order.size(); ++i) {
        EXPECT_EQ(in_order[i], folder.children[i]->item);
        if (i > 0) {
            EXPECT_LT(in_order[i - 1]->key, in_order[i]->key);
        }
    }
}

TEST(PathSplit, ABackslashInsideADoubleByteCharacterIsNoSeparator) {
    // 0x95 0x5C is one Shift-JIS character whose second byte is '\'.
    std::string path = "C:\\\x95\x5C\\x.txt";
    EXPECT_EQ(2u, next_backslash(path, 0, 932));
    EXPECT_EQ(5u, next_backslash(path, 3, 932));
    EXPECT_EQ(5u, last_backslash(path, 932));
    EXPECT_EQ(4u, next_backslash(path, 3, 1252)) << "in a single-byte code page it is one";
    EXPECT_EQ(std::string::npos, next_backslash("x.txt", 0, 932));
}

TEST(PathRule, SharesThatStandForPipesAreNoItems) {
    for (const wchar_t *path :
         {L"\\\\localhost\\pipe\\x", L"\\\\127.0.0.1\\PIPE\\x:plivar", L"\\\\server\\mailslot\\m",
          L"\\\\server\\IPC$", L"\\\\.\\pipe\\x", L"\\\\?\\C:\\x.txt", L"x.txt"})
        EXPECT_FALSE(is_canonical_full_path(path)) << path;
    for (const wchar_t *path : {L"\\\\server\\share\\x.txt", L"\\\\server\\pipes\\x.txt",
                                L"\\\\server\\share", L"C:\\", L"C:\\x.txt"})
        EXPECT_TRUE(is_canonical_full_path(path)) << path;
}

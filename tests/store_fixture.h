#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/module_start_up.h"
#include "store/info_holder.h"
#include "store/keep_file.h"
#include "tests/test_support.h"

// A configuration folder of its own for each test, with an empty files.dat,
// and paths to items inside a temporary folder.
class StoreTest : public ::testing::Test {
  public:
    static std::wstring wide(const std::string &s) { return std::wstring(s.begin(), s.end()); }

  protected:
    void SetUp() override {
        index_file_ = temp_.path() + "files.dat";
        ASSERT_TRUE(write_whole_file(index_file_, ""));
        strcpy(index_path, index_file_.c_str());
        keep_file.set_path(wide(temp_.path() + "keep.dat"));
    }
    void TearDown() override {
        index_path[0] = '\0';
        keep_file.set_path(std::wstring());
    }

    std::string make_file(const std::string &name, const std::string &content = "data") {
        std::string path = temp_.path() + name;
        EXPECT_TRUE(write_whole_file(path, content));
        return path;
    }
    std::string index_bytes() {
        std::string bytes;
        EXPECT_TRUE(read_whole_file(index_file_, bytes));
        return bytes;
    }
    static std::string record_bytes(int kind, const std::string &path) {
        std::string bytes;
        item_info(kind, wide(path).c_str()).save_record(bytes);
        return bytes;
    }

    // Starts copies of this test program as other processes, with `mode`,
    // this test's files.dat and folder, a start signal and each child's own
    // arguments; lets them all begin at once and waits for them. True when
    // each one ended in time with exit code 0.
    bool run_children(const char *mode, const std::vector<std::string> &own_arguments);

    TempFolder temp_;
    std::string index_file_;
};

// What a child started by run_children is given: argv[2] files.dat,
// argv[3] the test folder, argv[4] the start signal, then its own.
struct child_context {
    std::string folder; // with its trailing backslash
    HANDLE go;
};
child_context child_start(char **argv);

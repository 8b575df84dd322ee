#include "tests/store_fixture.h"

#include "module/class_ids.h"
#include "store/info_tip_key.h"
#include "store/info_tip_registration.h"

namespace {

std::string handler_of(const std::string &type) {
    char value[260] = "";
    LONG size = sizeof(value);
    if (RegQueryValueA(HKEY_CLASSES_ROOT, info_tip_handler_key_of(type).c_str(), value, &size) !=
        ERROR_SUCCESS)
        return "<none>";
    return value;
}

void delete_type(const std::string &type) {
    RegDeleteTreeA(HKEY_CLASSES_ROOT, type.c_str());
}

TEST(InfoTipType, TakesShortExtensionsOfTheLastComponent) {
    EXPECT_EQ(".html", info_tip_type_of(L"C:\\web\\page.html", false));
    EXPECT_EQ(".txt", info_tip_type_of(L"C:\\a.b\\report.txt", false));
    EXPECT_EQ("", info_tip_type_of(L"C:\\x\\archive.backup", false));
    EXPECT_EQ("", info_tip_type_of(L"C:\\x\\README", false));
    EXPECT_EQ("", info_tip_type_of(L"C:\\my.files\\noext", false));
    EXPECT_EQ("Folder", info_tip_type_of(L"C:\\my.files", true));
}

TEST_F(StoreTest, RegistersTheHandlerForTheItemType) {
    delete_type(".qvt");
    delete_type(".qvu");
    register_info_tip_for_path(make_file("one.qvt"));
    EXPECT_EQ(main_clsid_text, handler_of(".qvt"));

    RegSetValueA(HKEY_CLASSES_ROOT, info_tip_handler_key_of(".qvu").c_str(), REG_SZ, "{other}", 7);
    register_info_tip_for_path(make_file("two.qvu"));
    EXPECT_EQ(main_clsid_text, handler_of(".qvu"));

    delete_type(".backup");
    register_info_tip_for_path(make_file("archive.backup"));
    EXPECT_EQ("<none>", handler_of(".backup"));
    register_info_tip_for_path(temp_.path() + "missing.qvw");
    EXPECT_EQ("<none>", handler_of(".qvw"));

    std::string folder = temp_.path() + "sub.dir";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    RegDeleteTreeA(HKEY_CLASSES_ROOT, info_tip_handler_key_of("Folder").c_str());
    register_info_tip_for_path(folder);
    EXPECT_EQ(main_clsid_text, handler_of("Folder"));
    EXPECT_EQ("<none>", handler_of(".dir"));
    delete_type(".qvt");
    delete_type(".qvu");
}

TEST(RegistrationProgramArguments, OnlyShortExtensionsOrFolder) {
    EXPECT_TRUE(is_registrable_type(".xyz"));
    EXPECT_TRUE(is_registrable_type(".ab"));
    EXPECT_TRUE(is_registrable_type(".html"));
    EXPECT_TRUE(is_registrable_type("Folder"));
    EXPECT_FALSE(is_registrable_type(".htmlx"));
    EXPECT_FALSE(is_registrable_type("."));
    EXPECT_FALSE(is_registrable_type("txt"));
    EXPECT_FALSE(is_registrable_type("..\\foo"));
    EXPECT_FALSE(is_registrable_type(".a\\b"));
    EXPECT_FALSE(is_registrable_type(".a.b"));
    EXPECT_FALSE(is_registrable_type("folder"));
    EXPECT_FALSE(is_registrable_type(""));
}

DWORD run_registration_program(const std::string &argument) {
    std::string command = "\"" + build_output_folder() + "quillarvent_registry.exe\" " + argument;
    return run_program(command, 30000);
}

TEST(RegistrationProgram, WritesTheKeyAndRefusesAnythingElse) {
    delete_type(".xyz");
    EXPECT_EQ(0u, run_registration_program(".xyz"));
    EXPECT_EQ(main_clsid_text, handler_of(".xyz"));
    delete_type(".xyz");

    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), run_registration_program("..\\foo"));
    EXPECT_EQ("<none>", handler_of("..\\foo"));
    std::string overlong = "." + std::string(300, 'a');
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), run_registration_program(overlong));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), run_registration_program(""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), run_registration_program(".a .b"));
}

} // namespace

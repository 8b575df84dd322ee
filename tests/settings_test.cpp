#include <gtest/gtest.h>

#include "module/settings.h"

namespace {

class FullSearchSetting : public ::testing::Test {
  protected:
    void TearDown() override { RegDeleteKeyA(HKEY_LOCAL_MACHINE, settings_key_path); }

    void set_raw(DWORD type, const void *data, DWORD size) {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, settings_key_path, 0, nullptr,
                                                 0, KEY_SET_VALUE, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, full_search_value_name, 0, type,
                                                static_cast<const BYTE *>(data), size));
        RegCloseKey(key);
    }
    void set_dword(DWORD value) { set_raw(REG_DWORD, &value, sizeof(value)); }
};

TEST_F(FullSearchSetting, OnlyTheDwordOneTurnsItOn) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, settings_key_path);
    EXPECT_FALSE(is_full_search_on());
    set_dword(0);
    EXPECT_FALSE(is_full_search_on());
    set_dword(1);
    EXPECT_TRUE(is_full_search_on());
    set_dword(2);
    EXPECT_FALSE(is_full_search_on());
    set_raw(REG_SZ, "1", 2);
    EXPECT_FALSE(is_full_search_on());
}

} // namespace
